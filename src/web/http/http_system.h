// THTTPSystem: what happens to one complete HTTP request. It checks the protected areas
// against the session cookie "tmid" or the Basic credentials, then serves a static file from
// the web folder or runs the registered actions in phases. The process-wide registries of
// actions and protected areas and the exception-page hook live here too.
//
// Contract:
// - Access is decided on what actually runs: a protected area applies when its prefix begins
//   the request path or the path of any action entry that the request would run. So an action
//   code registered under "/admin" needs the "/admin" level even when it is asked for through
//   "/?action=...". Every area that applies must admit the request.
// - A session grants no more than its account's level (login_session.h). The cookie "tmid"
//   holds only the session's random id, marked HttpOnly and SameSite=Strict; an id that names
//   no live session, sent without an Authorization header, is answered like no credentials:
//   401 with the challenge and no cookie. A login replaces an anonymous session the cookie
//   named.
// - Failed logins are logged with the client's address, and an address with several failures
//   in a row must wait a growing delay before its credentials are looked at again
//   (TLoginThrottle); meanwhile it gets 401 with the time to wait.
// - An area marked LoopbackOnly admits only clients on the loopback address (127.0.0.0/8,
//   ::1); others get 403 with a text saying how to switch security on.
// - Dates (Date, Last-Modified, Expires, the cookie's expiry) are written in real GMT.
// - Static files come only from inside the web folder (the request line is canonical and
//   refuses paths that leave it, and a file's real path, links resolved, must lie inside the
//   web folder's) and only when they are regular files; anything else is 404.
// - A query or form of more than kMaxWebParameters parameters is answered 413 and runs nothing.
// - Registries are snapshots replaced as a whole: requests on other threads see either the old
//   or the new list, never a half-registered one (SetProtectedAreas swaps all areas at once).
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/server_system.h"
#include "platform/date_time.h"
#include "web/http/http_session.h"

namespace tovenmarsh::web {

// A handler gets the session and a stop flag (0 at first); leaving it at 1 ends the dispatch.
using TActionHandler = std::function<void(THTTPSession& session, int& stop)>;

struct TActionEntry {
  int Phase = 0;
  std::string Path;
  int Method = hmAny;  // 0: any method
  std::string Action;  // may be empty
  TActionHandler Handler;
};

struct TProtectedArea {
  std::string Prefix;
  std::string Realm;
  int Level = 0;
  bool LoopbackOnly = false;  // no login: only clients on this host
};

// The session cookie's name.
inline constexpr const char* kSessionCookie = "tmid";
// Adds "tmid=<id>; Path=/" with the expiry (when above -1) and "HttpOnly; SameSite=Strict".
void AddSessionCookie(THTTPSession& session, const std::string& id, platform::TDateTime expires);
// Whether a client address (dotted IPv4 or IPv6 text) is this host's loopback.
bool IsLoopbackAddress(std::string_view address);
// The message of an exception as a page may show it: file errors without the file's path, and
// any absolute path in other messages cut to its last component (the log has the whole text).
std::string PublicMessage(const std::exception& e);

using TExceptionPageHook = std::function<void(THTTPSession& session, const std::exception& e)>;

// Registration: each call appends and keeps the registry in its sorted order (actions by phase,
// then entries for one method before those for any method, then path and action byte-wise; areas by
// prefix byte-wise descending, so "/admin" is tested before "/").
void RegisterAction(std::string_view path, int method, std::string_view action, int phase,
                    TActionHandler handler);
void RegisterProtectedArea(std::string_view prefix, std::string_view realm, int level);
// Replaces every protected area at once (for a configuration change while requests run).
void SetProtectedAreas(std::vector<TProtectedArea> areas);
void SetExceptionPageHook(TExceptionPageHook hook);
// Empties both registries and clears the hook.
void ClearHTTPRegistries();

std::shared_ptr<const std::vector<TActionEntry>> RegisteredActions();
std::shared_ptr<const std::vector<TProtectedArea>> ProtectedAreas();
bool HasExceptionPageHook();

// The current time in GMT, as a day number with fraction.
platform::TDateTime UTCNow();
// The Server header's value: product name, "/" and version text.
std::string ServerHeaderText();

class TSessionSystem;

// What the HTTP objects of a connection take from their surroundings.
struct THTTPEnvironment {
  std::string webFolder;     // static files are served only from inside it
  std::string serverHeader;  // the Server header's value
  // The login sessions in force, asked at each request (the session daemon installs its list
  // after the listener has started); empty, or answering none: nobody logs in.
  std::function<std::shared_ptr<TSessionSystem>()> sessions;
};

// The installation's: the configuration's web folder, ServerHeaderText and SessionList.
THTTPEnvironment InstallationHTTPEnvironment();

class THTTPSystem : public core::TServerSystem {
 public:
  explicit THTTPSystem(THTTPEnvironment environment = InstallationHTTPEnvironment())
      : TServerSystem(0), environment_(std::move(environment)) {}

  THTTPSession& Session() { return session_; }
  const THTTPEnvironment& Environment() const { return environment_; }

  // Answers the parsed request in the session (status, headers, body); true.
  bool Execute();
  // With an exception-page hook: lets it fill the response and answers true; else false.
  bool HandleException(const std::exception& e);

 private:
  // False when the request was refused (the response says why).
  bool CheckAccess(const std::vector<std::string>& paths);
  void ServeStatic();
  void RunActions(const std::vector<const TActionEntry*>& plan);

  THTTPEnvironment environment_;
  THTTPSession session_;
};

}  // namespace tovenmarsh::web
