// The in-memory list of external POP3 mailboxes with their next collection times.
#include "mail/fetch/popmail_accounts.h"

#include <cctype>
#include <climits>
#include <mutex>
#include <utility>

#include "core/timed_server.h"

namespace tovenmarsh::mail {

namespace {

bool ContainsText(const std::string& text, const std::string& part) {
  if (part.empty()) return true;
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < part.size() && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                                  std::tolower(static_cast<unsigned char>(part[j]))) {
      ++j;
    }
    if (j == part.size()) return true;
  }
  return false;
}

}  // namespace

int TExtAccountList::Refresh(resources::TExtAccRecs loaded, platform::TDateTime now) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (resources::TExtAccRec& account : loaded) {
    account.nextrun = now;
    for (const resources::TExtAccRec& old : accounts_) {
      if (old.mailboxid == account.mailboxid) {
        account.nextrun = old.nextrun;
        break;
      }
    }
  }
  accounts_ = std::move(loaded);
  return static_cast<int>(accounts_.size());
}

bool TExtAccountList::NextDueExtAccount(resources::TExtAccRec& rec, platform::TDateTime now,
                                        const std::string& filter) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (size_t n = accounts_.size(); n > 0; --n) {
    resources::TExtAccRec account = std::move(accounts_.front());
    accounts_.erase(accounts_.begin());
    accounts_.push_back(std::move(account));
    resources::TExtAccRec& entry = accounts_.back();
    if (now < entry.nextrun || !entry.active || !ContainsText(entry.mailserver, filter)) continue;
    if (entry.interval <= 0) entry.interval = kDefaultCollectInterval;
    if (entry.remafter <= 0) entry.remafter = INT_MAX;
    rec = entry;
    entry.nextrun += entry.interval * core::TTimedServer::kMinute;
    return true;
  }
  return false;
}

bool TExtAccountList::HasDue(platform::TDateTime now) const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (const resources::TExtAccRec& account : accounts_) {
    if (account.active && account.nextrun <= now) return true;
  }
  return false;
}

int TExtAccountList::Count() const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  return static_cast<int>(accounts_.size());
}

void TExtAccountList::Clear() {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  accounts_.clear();
}

resources::TExtAccRecs TExtAccountList::Snapshot() const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  return accounts_;
}

}  // namespace tovenmarsh::mail
