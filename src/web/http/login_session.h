// Login sessions of the web server: the list of browsers that have logged in to a protected
// area, each remembered with the credentials text it sent, a random id (the value of its
// "tmid" cookie), a random form token and the user's level; and anonymous sessions, which
// only give a browser a form token when no login is asked for.
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
// - Ids and form tokens are 128 random bits from the operating system's source, written as 32
//   hexadecimal digits; the cookie never holds credentials. Logout and the purge end a session
//   on the server: its id then admits nobody.
// - At most kMaxAnonymous anonymous sessions exist; a new one replaces the least recently used.
// - Purge drops entries idle for the limit (10 minutes of 0.000694 day) or longer.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"
#include "resources/record_types.h"

namespace tovenmarsh::web {

struct TSessionEntry {
  std::string Authorization;  // the credentials text (canonical form); "" when anonymous
  std::string Id;             // also the cookie value
  std::string Token;          // the form token of the session's update forms
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

// Failed logins per client address: after a few, each further attempt from that address has
// to wait a delay that doubles with every failure (up to a minute); an attempt made sooner is
// refused without looking at its credentials. Nothing waits on a thread, so other clients are
// never held up. An address forgotten after kForgetMinutes without a failure starts afresh.
class TLoginThrottle {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr int kFreeFailures = 3;
  static constexpr int kMaxDelaySeconds = 60;
  static constexpr int kForgetMinutes = 15;
  static constexpr size_t kMaxAddresses = 10000;

  explicit TLoginThrottle(TClock clock = [] { return std::chrono::steady_clock::now(); });

  void SetClock(TClock clock);

  // Seconds before the address may try again; 0 when it may now.
  int WaitSeconds(const std::string& address);
  // Counts a failed attempt; answers the address's failures so far.
  int Failed(const std::string& address);
  void Succeeded(const std::string& address);
  // The wait after that many failures in a row.
  static int DelaySeconds(int failures);

 private:
  struct TRecord {
    int failures = 0;
    std::chrono::steady_clock::time_point last;
  };
  void ForgetOld(std::chrono::steady_clock::time_point now);

  TClock clock_;
  std::mutex lock_;
  std::map<std::string, TRecord> records_;
};

class TSessionSystem {
 public:
  static constexpr int kIdleMinutes = 10;
  // Longest Authorization text that is looked at; longer ones never log in.
  static constexpr size_t kMaxAuthorization = 1024;
  static constexpr int kMaxAnonymous = 1000;

  explicit TSessionSystem(TAccountLookup lookup = DefaultAccountLookup());
  TSessionSystem(const TSessionSystem&) = delete;
  TSessionSystem& operator=(const TSessionSystem&) = delete;

  // The entry (a copy) whose id / credentials text equals the given text exactly, its last
  // access refreshed; else the default entry.
  TSessionEntry FindById(std::string_view id);
  TSessionEntry FindByAuthorization(std::string_view text);
  TSessionEntry FindById(std::string_view id, platform::TDateTime now);
  TSessionEntry FindByAuthorization(std::string_view text, platform::TDateTime now);

  // The session id of a successful login; "" otherwise. badCredentials (when given) tells a
  // refusal of the credentials themselves from an account below the required level.
  std::string Login(std::string_view authorization, int requiredLevel);
  std::string Login(std::string_view authorization, int requiredLevel, platform::TDateTime now,
                    bool* badCredentials = nullptr);

  // A new anonymous session (level 0, no user); its id.
  std::string StartAnonymous();
  std::string StartAnonymous(platform::TDateTime now);
  // Whether id names a live session (the default entry is none).
  bool IsLive(std::string_view id);
  // Whether token is the form token of the live session id (compared in constant time).
  bool CheckToken(std::string_view id, std::string_view token);
  // Ends the session id; nothing when there is none.
  void Logout(std::string_view id);

  TLoginThrottle& Throttle() { return throttle_; }

  void Purge();
  void Purge(platform::TDateTime now);
  void Clear();
  int Count() const;
  const TSessionEntry& DefaultEntry() const { return default_; }

 private:
  TSessionEntry Find(bool byId, std::string_view text, platform::TDateTime now);

  TAccountLookup lookup_;
  TLoginThrottle throttle_;
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
