// Failed POP3 logins per client address and the delay each one earns.
#include "mail/pop3d/login_throttle.h"

#include <algorithm>
#include <mutex>

namespace tovenmarsh::mail {

TLoginThrottle::TLoginThrottle() : TLoginThrottle(TSettings{}) {}

TLoginThrottle::TLoginThrottle(TSettings settings) : settings_(settings) {}

TLoginThrottle::TFailure TLoginThrottle::Failed(const std::string& address, platform::TDateTime now) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= std::max<size_t>(settings_.addresses, 1)) ForgetOldest();
    it = entries_.emplace(address, TEntry{}).first;
  } else if (now - it->second.last > settings_.forgetDays) {
    it->second.count = 0;
  }
  TEntry& entry = it->second;
  entry.count = std::min(entry.count + 1, 1 << 20);
  entry.last = now;
  long long delay = settings_.firstDelayMs;
  for (int i = 1; i < entry.count && delay < settings_.longestDelayMs; ++i) delay *= 2;
  return TFailure{entry.count, static_cast<int>(std::min<long long>(delay, settings_.longestDelayMs))};
}

int TLoginThrottle::Failures(const std::string& address, platform::TDateTime now) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  const auto it = entries_.find(address);
  if (it == entries_.end() || now - it->second.last > settings_.forgetDays) return 0;
  return it->second.count;
}

void TLoginThrottle::ForgetOldest() {
  auto oldest = entries_.begin();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.last < oldest->second.last) oldest = it;
  }
  if (oldest != entries_.end()) entries_.erase(oldest);
}

}  // namespace tovenmarsh::mail
