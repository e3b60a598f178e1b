// Login sessions of the web server: the list of browsers that have logged in to a protected
// area, each remembered with the credentials text it sent (which is also the value of its
// "tmid" cookie), a unique id and the user's level.
//
// Contract:
// - Login checks HTTP Basic credentials against the account table: the user name's first run
//   of digits is the account number, the password compares ignoring case, and the account's
//   level must reach the required one. Malformed credentials (another scheme, text that is not
//   strict base64, no ":" in the decoded text, control characters, over-long text) never log
//   in and never raise.
// - A session grants exactly the level its account had when its credentials were last checked:
//   a repeated login with the same credentials refreshes the existing entry (and its level)
//   rather than adding one, so the list holds at most one entry per valid credentials (however
//   they are spelled) and cannot be grown by replaying them.
// - Lookups answer copies made under the list's lock, so a purge on another thread never frees
//   what a caller still reads. An unknown id or text answers the default entry (level 0).
// - Purge drops entries idle for the limit (10 minutes of 0.000694 day) or longer.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"
#include "resources/record_types.h"

namespace tovenmarsh::web {

struct TSessionEntry {
  std::string Authorization;  // the credentials text (canonical form), also the cookie value
  std::string Id;
  platform::TDateTime LastAccess = 0;
  std::string UserName;
  std::string Password;
  int UserLevel = 0;
};

// Fills the account named by rec.name (rec.no 0) and answers whether it exists; the default
// borrows a TAccountControl from the process's database pool.
using TAccountLookup = std::function<bool(resources::TAccountRec& rec)>;
TAccountLookup DefaultAccountLookup();

// "Basic " and the padded base64 token of an Authorization text that holds Basic credentials
// (scheme in any case, blanks around the token, padding left out); "" for anything else.
// Sessions are kept and looked up under this form, so spelling the same credentials
// differently neither adds entries nor misses the one there is.
std::string CanonicalAuthorization(std::string_view authorization);

// User name and password of an Authorization text "Basic <base64 of user:password>"; false for
// anything else.
bool DecodeBasicCredentials(std::string_view authorization, std::string& user,
                            std::string& password);

class TSessionSystem {
 public:
  static constexpr int kIdleMinutes = 10;
  // Longest Authorization text that is looked at; longer ones never log in.
  static constexpr size_t kMaxAuthorization = 1024;

  explicit TSessionSystem(TAccountLookup lookup = DefaultAccountLookup());
  TSessionSystem(const TSessionSystem&) = delete;
  TSessionSystem& operator=(const TSessionSystem&) = delete;

  // The entry (a copy) whose id / credentials text equals the given text exactly, its last
  // access refreshed; else the default entry.
  TSessionEntry FindById(std::string_view id);
  TSessionEntry FindByAuthorization(std::string_view text);
  TSessionEntry FindById(std::string_view id, platform::TDateTime now);
  TSessionEntry FindByAuthorization(std::string_view text, platform::TDateTime now);

  // The session id of a successful login; "" otherwise.
  std::string Login(std::string_view authorization, int requiredLevel);
  std::string Login(std::string_view authorization, int requiredLevel, platform::TDateTime now);

  void Purge();
  void Purge(platform::TDateTime now);
  void Clear();
  int Count() const;
  const TSessionEntry& DefaultEntry() const { return default_; }

 private:
  TSessionEntry Find(bool byId, std::string_view text, platform::TDateTime now);

  TAccountLookup lookup_;
  mutable std::mutex lock_;
  std::vector<TSessionEntry> entries_;
  TSessionEntry default_;
};

// Kept under the name the server's start-up code uses for the global list.
using TSessionList = TSessionSystem;

// The process's session list: none until StartSessionDaemon (or InstallSessionList) and after
// StopSessionDaemon. Holders keep it alive while they use it.
std::shared_ptr<TSessionSystem> SessionList();
void InstallSessionList(std::shared_ptr<TSessionSystem> list);

}  // namespace tovenmarsh::web
