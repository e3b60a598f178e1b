// Login sessions (see login_session.h).
#include "web/http/login_session.h"

#include <algorithm>

#include "core/str_utils.h"
#include "core/timed_server.h"
#include "mail/message/mime_codecs.h"
#include "platform/random.h"
#include "platform/win1252.h"
#include "resources/account_control.h"

namespace tovenmarsh::web {

namespace {

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Strict base64: alphabet characters, then at most two "=" that complete the last group; an
// unpadded last group of 2 or 3 characters is taken as browsers may send it.
bool IsStrictBase64(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && IsBase64Char(text[n])) ++n;
  const size_t padding = text.size() - n;
  if (padding > 2) return false;
  for (size_t i = n; i < text.size(); ++i) {
    if (text[i] != '=') return false;
  }
  if (n == 0) return false;
  if (padding > 0) return text.size() % 4 == 0;
  return n % 4 != 1;
}

bool SameTextWin1252(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (platform::Win1252Upper(a[i]) != platform::Win1252Upper(b[i])) return false;
  }
  return true;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

std::mutex globalLock;
std::shared_ptr<TSessionSystem> globalList;

// 128 random bits: an id or a token nobody can guess.
std::string NewSecret() { return platform::RandomHex(16); }

// Equal texts, in a time that depends only on their lengths.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace

TAccountLookup DefaultAccountLookup() {
  return [](resources::TAccountRec& rec) {
    resources::TAccountControl control;
    return control.GetAccount(rec);
  };
}

namespace {

// The base64 token of "Basic" (any case), one or more blanks, the token, and nothing after it
// but blanks; false for any other text.
bool BasicToken(std::string_view authorization, std::string_view& token) {
  if (authorization.size() > TSessionSystem::kMaxAuthorization) return false;
  std::string_view rest = authorization;
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.size() < 6 || !core::SameTextN(rest, "Basic", 5) || rest[5] != ' ') return false;
  rest.remove_prefix(5);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  if (!IsStrictBase64(rest)) return false;
  token = rest;
  return true;
}

}  // namespace

std::string CanonicalAuthorization(std::string_view authorization) {
  std::string_view token;
  if (!BasicToken(authorization, token)) return "";
  std::string text = "Basic " + std::string(token);
  while ((text.size() - 6) % 4 != 0) text += '=';
  return text;
}

bool DecodeBasicCredentials(std::string_view authorization, std::string& user,
                            std::string& password) {
  user.clear();
  password.clear();
  std::string_view token;
  if (!BasicToken(authorization, token)) return false;
  const std::string decoded = mail::Base64DecodeString(token);
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (HasControl(decoded)) return false;
  user = decoded.substr(0, colon);
  // Everything after the first ":" is the password, so a password may hold ":" itself.
  password = decoded.substr(colon + 1);
  return true;
}

TLoginThrottle::TLoginThrottle(TClock clock) : clock_(std::move(clock)) {}

void TLoginThrottle::SetClock(TClock clock) {
  std::lock_guard<std::mutex> guard(lock_);
  clock_ = std::move(clock);
}

int TLoginThrottle::DelaySeconds(int failures) {
  if (failures <= kFreeFailures) return 0;
  const int doublings = failures - kFreeFailures - 1;
  return doublings >= 6 ? kMaxDelaySeconds : std::min(kMaxDelaySeconds, 1 << doublings);
}

void TLoginThrottle::ForgetOld(std::chrono::steady_clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    if (now - it->second.last >= std::chrono::minutes(kForgetMinutes)) {
      it = records_.erase(it);
    } else {
      ++it;
    }
  }
}

int TLoginThrottle::WaitSeconds(const std::string& address) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = clock_();
  const auto it = records_.find(address);
  if (it == records_.end()) return 0;
  const auto due = it->second.last + std::chrono::seconds(DelaySeconds(it->second.failures));
  if (due <= now) return 0;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
  return static_cast<int>((left + 999) / 1000);
}

int TLoginThrottle::Failed(const std::string& address) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = clock_();
  auto it = records_.find(address);
  if (it != records_.end() && now - it->second.last >= std::chrono::minutes(kForgetMinutes)) {
    records_.erase(it);
    it = records_.end();
  }
  if (it == records_.end()) {
    // Many addresses failing at once: the oldest records go first, so the table stays bounded.
    if (records_.size() >= kMaxAddresses) ForgetOld(now);
    if (records_.size() >= kMaxAddresses) {
      records_.erase(std::min_element(records_.begin(), records_.end(), [](const auto& a, const auto& b) {
        return a.second.last < b.second.last;
      }));
    }
    it = records_.emplace(address, TRecord{}).first;
  }
  ++it->second.failures;
  it->second.last = now;
  return it->second.failures;
}

void TLoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard<std::mutex> guard(lock_);
  records_.erase(address);
}

TSessionSystem::TSessionSystem(TAccountLookup lookup) : lookup_(std::move(lookup)) {
  default_.Id = NewSecret();
  default_.LastAccess = platform::Now();
}

TSessionEntry TSessionSystem::Find(bool byId, std::string_view text, platform::TDateTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  for (TSessionEntry& entry : entries_) {
    if ((byId ? entry.Id : entry.Authorization) == text) {
      entry.LastAccess = now;
      return entry;
    }
  }
  return default_;
}

TSessionEntry TSessionSystem::FindById(std::string_view id) { return FindById(id, platform::Now()); }
TSessionEntry TSessionSystem::FindById(std::string_view id, platform::TDateTime now) {
  return Find(true, id, now);
}
TSessionEntry TSessionSystem::FindByAuthorization(std::string_view text) {
  return FindByAuthorization(text, platform::Now());
}
TSessionEntry TSessionSystem::FindByAuthorization(std::string_view text, platform::TDateTime now) {
  // Entries hold credentials in their one canonical form; text that is none matches nothing.
  const std::string canonical = CanonicalAuthorization(text);
  if (canonical.empty()) return default_;
  return Find(false, canonical, now);
}

std::string TSessionSystem::Login(std::string_view authorization, int requiredLevel) {
  return Login(authorization, requiredLevel, platform::Now());
}

std::string TSessionSystem::Login(std::string_view authorization, int requiredLevel,
                                  platform::TDateTime now, bool* badCredentials) {
  if (badCredentials != nullptr) *badCredentials = true;
  std::string user, password;
  if (!DecodeBasicCredentials(authorization, user, password)) return "";
  resources::TAccountRec account;
  account.name = user;
  if (!lookup_ || !lookup_(account)) return "";
  if (!SameTextWin1252(account.pass, password)) return "";
  if (badCredentials != nullptr) *badCredentials = false;
  if (account.level < requiredLevel) return "";

  const std::string canonical = CanonicalAuthorization(authorization);
  std::lock_guard<std::mutex> guard(lock_);
  for (TSessionEntry& entry : entries_) {
    if (entry.Authorization == canonical) {
      // The same credentials again: the level is what the account has now.
      entry.UserName = user;
      entry.Password = password;
      entry.UserLevel = account.level;
      entry.LastAccess = now;
      return entry.Id;
    }
  }
  TSessionEntry entry;
  entry.Authorization = canonical;
  entry.Id = NewSecret();
  entry.Token = NewSecret();
  entry.LastAccess = now;
  entry.UserName = user;
  entry.Password = password;
  entry.UserLevel = account.level;
  entries_.push_back(entry);
  return entry.Id;
}

std::string TSessionSystem::StartAnonymous() { return StartAnonymous(platform::Now()); }

std::string TSessionSystem::StartAnonymous(platform::TDateTime now) {
  TSessionEntry entry;
  entry.Id = NewSecret();
  entry.Token = NewSecret();
  entry.LastAccess = now;
  std::lock_guard<std::mutex> guard(lock_);
  int anonymous = 0;
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->Authorization.empty()) continue;
    ++anonymous;
    if (oldest == entries_.end() || it->LastAccess < oldest->LastAccess) oldest = it;
  }
  if (anonymous >= kMaxAnonymous) entries_.erase(oldest);
  entries_.push_back(entry);
  return entry.Id;
}

bool TSessionSystem::IsLive(std::string_view id) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const TSessionEntry& entry) { return entry.Id == id; });
}

bool TSessionSystem::CheckToken(std::string_view id, std::string_view token) {
  if (id.empty() || token.empty()) return false;
  std::lock_guard<std::mutex> guard(lock_);
  for (const TSessionEntry& entry : entries_) {
    if (entry.Id == id) return SameSecret(entry.Token, token);
  }
  return false;
}

void TSessionSystem::Logout(std::string_view id) {
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(entries_, [&](const TSessionEntry& entry) { return entry.Id == id; });
}

void TSessionSystem::Purge() { Purge(platform::Now()); }

void TSessionSystem::Purge(platform::TDateTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  const double limit = kIdleMinutes * core::TTimedServer::kMinute;
  for (size_t i = entries_.size(); i-- > 0;) {
    if (!(limit > now - entries_[i].LastAccess)) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void TSessionSystem::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.clear();
}

int TSessionSystem::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(entries_.size());
}

std::shared_ptr<TSessionSystem> SessionList() {
  std::lock_guard<std::mutex> guard(globalLock);
  return globalList;
}

void InstallSessionList(std::shared_ptr<TSessionSystem> list) {
  std::shared_ptr<TSessionSystem> old;
  {
    std::lock_guard<std::mutex> guard(globalLock);
    old = std::move(globalList);
    globalList = std::move(list);
  }
}

}  // namespace tovenmarsh::web
