// The HTTP system: registries, access control and dispatch (see http_system.h).
#include "web/http/http_system.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>

#include "core/log.h"
#include "core/system_parameters.h"
#include "mail/message/mime_types.h"
#include "platform/file_system.h"
#include "platform/format.h"
#include "platform/stream.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {

namespace {

// About two minutes, the freshness of a static file.
constexpr double kStaticExpiry = 0.001388;

struct TRegistries {
  std::mutex lock;
  std::shared_ptr<const std::vector<TActionEntry>> actions =
      std::make_shared<const std::vector<TActionEntry>>();
  std::shared_ptr<const std::vector<TProtectedArea>> areas =
      std::make_shared<const std::vector<TProtectedArea>>();
  std::shared_ptr<const TExceptionPageHook> hook;
};

TRegistries& Registries() {
  static TRegistries registries;
  return registries;
}

bool ActionBefore(const TActionEntry& a, const TActionEntry& b) {
  if (a.Phase != b.Phase) return a.Phase < b.Phase;
  const bool aAny = a.Method == hmAny, bAny = b.Method == hmAny;
  if (aAny != bAny) return !aAny;
  if (a.Path != b.Path) return a.Path < b.Path;
  return a.Action < b.Action;
}

void SortAreas(std::vector<TProtectedArea>& areas) {
  std::stable_sort(areas.begin(), areas.end(),
                   [](const TProtectedArea& a, const TProtectedArea& b) { return a.Prefix > b.Prefix; });
}

bool BeginsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The entries a dynamic request runs, in order (before any handler's stop flag).
std::vector<const TActionEntry*> PlanActions(const std::vector<TActionEntry>& actions,
                                             const THTTPSession& session,
                                             const std::string& action) {
  std::vector<const TActionEntry*> plan;
  for (const TActionEntry& entry : actions) {
    bool runs = false;
    if (entry.Method != hmAny) {
      if (entry.Method != session.MethodCode) continue;
      runs = action.empty() ? entry.Path == session.RequestPath : entry.Action == action;
    } else {
      runs = BeginsWith(session.RequestPath, entry.Path);
    }
    if (runs) plan.push_back(&entry);
  }
  return plan;
}

// The real path of path (links and dots resolved) when it lies strictly inside folder's real
// path; false when either cannot be resolved or it lies elsewhere.
bool RealPathInside(const std::string& path, const std::string& folder, std::string& real) {
  std::string prefix = platform::RealPath(folder);
  if (prefix.empty()) return false;
  real = platform::RealPath(path);
  if (real.empty()) return false;
  if (prefix.back() != '/') prefix += '/';
  return real.size() > prefix.size() && real.compare(0, prefix.size(), prefix) == 0;
}

// What a client outside this host reads when it asks for an area kept to the host while
// security is off.
constexpr const char* kLoopbackOnlyText =
    "Security is off: this page answers only on the server itself. To open it to other "
    "machines, make an administrator account (a level of at least AdminLevel) on the server, "
    "then tick \"Security on\" on the Config page, or set SecurityOn=Yes in tovenmarsh.cfg and "
    "restart.";

// The user name of Basic credentials for the log: printable, at most 64 characters.
std::string LoggedUser(std::string_view authorization) {
  std::string user, password;
  if (!DecodeBasicCredentials(authorization, user, password)) return "(malformed credentials)";
  if (user.size() > 64) user.resize(64);
  return "\"" + user + "\"";
}

// Whether c may end an absolute path inside a message.
bool EndsPath(char c) {
  return c == ' ' || c == '"' || c == '\'' || c == ')' || c == ',' || c == ';' || c == '\t' ||
         c == '\r' || c == '\n';
}

}  // namespace

void AddSessionCookie(THTTPSession& session, const std::string& id, platform::TDateTime expires) {
  session.Response.AddSetCookie(kSessionCookie, id, false, "", expires, "/",
                                "HttpOnly; SameSite=Strict");
}

bool IsLoopbackAddress(std::string_view address) {
  if (address == "::1" || address == "0:0:0:0:0:0:0:1") return true;
  std::string_view v4 = address;
  if (v4.substr(0, 7) == "::ffff:") v4.remove_prefix(7);
  // 127.0.0.0/8, written as four decimal parts.
  if (v4.substr(0, 4) != "127.") return false;
  int parts = 2, digits = 0;  // "127" and the part being read
  for (char c : v4.substr(4)) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4 && digits > 0;
}

std::string PublicMessage(const std::exception& e) {
  if (dynamic_cast<const platform::EFOpenError*>(&e) != nullptr ||
      dynamic_cast<const platform::EFCreateError*>(&e) != nullptr) {
    return "The server cannot open one of its files; its log file names it.";
  }
  const std::string text = e.what();
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const bool starts = text[i] == '/' && (i == 0 || EndsPath(text[i - 1]) || text[i - 1] == '(');
    if (!starts) {
      out += text[i++];
      continue;
    }
    size_t end = i;
    while (end < text.size() && !EndsPath(text[end])) ++end;
    const std::string_view path(text.data() + i, end - i);
    const size_t last = path.rfind('/');
    // One "/" is no path of the file system (it may be a request path or a ratio).
    if (std::count(path.begin(), path.end(), '/') >= 2) {
      out.append(path.substr(last + 1));
    } else {
      out.append(path);
    }
    i = end;
  }
  return out;
}

std::string ServerHeaderText() {
  const core::TSystemParameters& parameters = core::SystemParameters();
  return parameters.ProductName() + "/" + parameters.VersionText();
}

THTTPEnvironment InstallationHTTPEnvironment() {
  THTTPEnvironment environment;
  environment.webFolder = core::SystemParameters().WebFolder();
  environment.serverHeader = ServerHeaderText();
  environment.sessions = [] { return SessionList(); };
  return environment;
}

platform::TDateTime UTCNow() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return 25569.0 + static_cast<double>(ms) / 86400000.0;
}

void RegisterAction(std::string_view path, int method, std::string_view action, int phase,
                    TActionHandler handler) {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  auto actions = std::make_shared<std::vector<TActionEntry>>(*r.actions);
  actions->push_back(TActionEntry{phase, std::string(path), method, std::string(action), std::move(handler)});
  std::stable_sort(actions->begin(), actions->end(), ActionBefore);
  r.actions = std::move(actions);
}

void RegisterProtectedArea(std::string_view prefix, std::string_view realm, int level) {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  auto areas = std::make_shared<std::vector<TProtectedArea>>(*r.areas);
  areas->push_back(TProtectedArea{std::string(prefix), std::string(realm), level});
  SortAreas(*areas);
  r.areas = std::move(areas);
}

void SetProtectedAreas(std::vector<TProtectedArea> areas) {
  SortAreas(areas);
  auto snapshot = std::make_shared<const std::vector<TProtectedArea>>(std::move(areas));
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  r.areas = std::move(snapshot);
}

void SetExceptionPageHook(TExceptionPageHook hook) {
  auto snapshot = hook ? std::make_shared<const TExceptionPageHook>(std::move(hook)) : nullptr;
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  r.hook = std::move(snapshot);
}

void ClearHTTPRegistries() {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  r.actions = std::make_shared<const std::vector<TActionEntry>>();
  r.areas = std::make_shared<const std::vector<TProtectedArea>>();
  r.hook = nullptr;
}

std::shared_ptr<const std::vector<TActionEntry>> RegisteredActions() {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.actions;
}

std::shared_ptr<const std::vector<TProtectedArea>> ProtectedAreas() {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.areas;
}

bool HasExceptionPageHook() {
  TRegistries& r = Registries();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.hook != nullptr;
}

bool THTTPSystem::Execute() {
  THTTPSession& s = session_;
  // A login belongs to the request that proved it: the next request on this connection (which
  // a proxy may send for another user) starts without one.
  s.SessionId.clear();
  const platform::TDateTime now = UTCNow();
  s.Response.SetHeader(hhServer, environment_.serverHeader);
  s.Response.SetDateHeader(hdDate, now);
  s.Response.SetDateHeader(hdLastModified, now);

  const bool dynamic = s.FileName.empty();
  std::vector<const TActionEntry*> plan;
  std::shared_ptr<const std::vector<TActionEntry>> actions;
  std::vector<std::string> paths{s.RequestPath};
  // A form of millions of tiny parameters would take far more memory than its bytes.
  bool tooManyParameters = false;
  if (dynamic) {
    if (s.HasQuery() && !s.Query().SetText(s.QueryText)) tooManyParameters = true;
    actions = RegisteredActions();
    plan = PlanActions(*actions, s, s.GetQueryValue("action"));
    for (const TActionEntry* entry : plan) paths.push_back(entry->Path);
  }

  if (CheckAccess(paths)) {
    if (dynamic) {
      if (s.MethodCode == hmPOST && s.Request.HasBody() &&
          !s.PostContent().SetText(s.Request.GetContentText())) {
        tooManyParameters = true;
      }
      s.Response.SetHeader(hhContentType, "text/html");
      s.Response.SetDateHeader(hdExpires, now);
      s.Response.SetHeader(hhCacheControl, "no-cache");
      if (tooManyParameters) {
        s.StatusIndex = kStatusEntityTooLarge;
      } else {
        RunActions(plan);
      }
    } else {
      ServeStatic();
    }
    if (!s.RedirectURL.empty()) {
      s.StatusIndex = kStatusSeeOther;
      s.Response.SetHeader(hhLocation, s.RedirectURL);
    }
  }

  if (s.Request.GetHeader(hhConnection) == "close" || !s.KeepAlive) {
    s.KeepAlive = false;
    s.Response.SetHeader(hhConnection, "close");
  }
  return true;
}

bool THTTPSystem::CheckAccess(const std::vector<std::string>& paths) {
  THTTPSession& s = session_;
  const std::shared_ptr<const std::vector<TProtectedArea>> areas = ProtectedAreas();
  if (areas->empty()) return true;
  const std::shared_ptr<TSessionSystem> sessions =
      environment_.sessions ? environment_.sessions() : std::shared_ptr<TSessionSystem>();
  const std::string cookie = s.Request.GetCookie(kSessionCookie);
  // The session this request has shown so far (the cookie's, or a login's) and its level;
  // looked up once, when the first area that needs a login applies.
  bool looked = false;
  TSessionEntry shown;

  for (const TProtectedArea& area : *areas) {
    const bool applies = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return BeginsWith(path, area.Prefix);
    });
    if (!applies) continue;

    if (area.LoopbackOnly) {
      if (IsLoopbackAddress(s.ClientAddress)) continue;
      s.SessionId.clear();
      s.StatusIndex = kStatusForbidden;
      s.ErrorText = kLoopbackOnlyText;
      return false;
    }
    if (!looked) {
      looked = true;
      if (sessions) shown = sessions->FindById(cookie);
    }
    if (shown.UserLevel >= area.Level) {
      s.SessionId = shown.Id;
      // Every area that covers what runs must admit the request, also when an outer area asks
      // for more than an inner one.
      continue;
    }
    // The cookie names no session of the level needed: only the Authorization header can log
    // in. Without one the browser is asked for credentials.
    const std::string authorization = s.Request.GetHeader(hhAuthorization);
    s.SessionId.clear();
    if (authorization.empty()) {
      s.Response.SetHeader(hhWWWAuthenticate, "Basic realm=" + area.Realm);
      s.StatusIndex = kStatusUnauthorized;
      return false;
    }
    const int wait = sessions ? sessions->Throttle().WaitSeconds(s.ClientAddress) : 0;
    if (wait > 0) {
      s.Response.SetHeader(hhWWWAuthenticate, "Basic realm=" + area.Realm);
      s.StatusIndex = kStatusUnauthorized;
      s.ErrorText = platform::Format(
          "Too many failed logins from your address: try again in %d second%s.", wait,
          wait == 1 ? "" : "s");
      return false;
    }
    bool badCredentials = true;
    const std::string id =
        sessions ? sessions->Login(authorization, area.Level, platform::Now(), &badCredentials)
                 : std::string();
    if (!id.empty()) {
      sessions->Throttle().Succeeded(s.ClientAddress);
      // An anonymous session the browser had (for its form token) ends with the login, so
      // an id given out before the login never becomes a logged-in one.
      if (!shown.Id.empty() && shown.Id == cookie && shown.Authorization.empty() && shown.Id != id) {
        sessions->Logout(shown.Id);
      }
      shown = sessions->FindById(id);
      AddSessionCookie(s, id, UTCNow() + 1.0);
      s.SessionId = id;
      continue;
    }
    if (badCredentials && sessions) {
      const int failures = sessions->Throttle().Failed(s.ClientAddress);
      core::LogWarning(platform::Format("HTTP login of %s from %s failed (%d in a row)",
                                        LoggedUser(authorization).c_str(),
                                        s.ClientAddress.empty() ? "an unknown address"
                                                                : s.ClientAddress.c_str(),
                                        failures),
                       true);
    }
    s.Response.AddSetCookie(kSessionCookie, "", false, "", -1, "/", "HttpOnly; SameSite=Strict");
    s.StatusIndex = kStatusUnauthorized;
    return false;
  }
  return true;
}

void THTTPSystem::RunActions(const std::vector<const TActionEntry*>& plan) {
  int stop = 0;
  for (const TActionEntry* entry : plan) {
    if (entry->Handler) entry->Handler(session_, stop);
    if (stop == 1) break;
  }
}

void THTTPSystem::ServeStatic() {
  THTTPSession& s = session_;
  // The web directory was built from a canonical path inside the web folder, but a symbolic
  // link there may point anywhere: only a file whose real path lies inside the web folder's
  // real path is served, opened by that real path. A file name that is a directory, a device
  // or missing is simply not found.
  const std::string path = s.WebDirectory + s.FileName;
  std::string real;
  if (s.WebDirectory.empty() || !RealPathInside(path, environment_.webFolder, real) ||
      !platform::IsRegularFile(real)) {
    s.StatusIndex = kStatusNotFound;
    return;
  }
  std::unique_ptr<platform::TFileStream> file;
  try {
    file = std::make_unique<platform::TFileStream>(real, platform::fmOpenRead);
  } catch (const platform::EFOpenError&) {
    // Unreadable is answered like missing: the page would otherwise show the server's path.
    s.StatusIndex = kStatusNotFound;
    return;
  }
  const size_t dot = s.FileName.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : s.FileName.substr(dot + 1);
  if (const mail::TMimeType* type = mail::FindMimeTypeByExtension(extension)) {
    s.Response.SetHeader(hhContentType, type->contentType);
  } else if (mail::SameTextAscii(extension, "css")) {
    // Mail's table has no entry for the web folder's own style sheet and script, and a
    // browser takes a style sheet only with its type.
    s.Response.SetHeader(hhContentType, "text/css");
  } else if (mail::SameTextAscii(extension, "js")) {
    s.Response.SetHeader(hhContentType, "text/javascript");
  }
  platform::TMemoryStream& body = s.Response.BodyStream();
  body.SetSize(0);
  body.CopyFrom(*file, 0);
  s.Response.SetIntHeader(hiContentLength, body.Size());
  s.Response.SetDateHeader(hdExpires, UTCNow() + kStaticExpiry);
}

bool THTTPSystem::HandleException(const std::exception& e) {
  std::shared_ptr<const TExceptionPageHook> hook;
  {
    TRegistries& r = Registries();
    std::lock_guard<std::mutex> guard(r.lock);
    hook = r.hook;
  }
  if (!hook) return false;
  (*hook)(session_, e);
  return true;
}

}  // namespace tovenmarsh::web
