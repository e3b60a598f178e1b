// The HTTP system: registries, access control and dispatch (see http_system.h).
#include "web/http/http_system.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "core/system_parameters.h"
#include "mail/message/mime_types.h"
#include "platform/stream.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {

namespace {

constexpr const char* kSessionCookie = "tmid";
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
  std::error_code error;
  const std::filesystem::path root = std::filesystem::canonical(folder, error);
  if (error) return false;
  const std::filesystem::path file = std::filesystem::canonical(path, error);
  if (error) return false;
  std::string prefix = root.native();
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  real = file.native();
  return real.size() > prefix.size() && real.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

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

  for (const TProtectedArea& area : *areas) {
    const bool applies = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return BeginsWith(path, area.Prefix);
    });
    if (!applies) continue;

    const TSessionEntry found =
        sessions ? sessions->FindByAuthorization(cookie) : TSessionEntry{};
    if (found.UserLevel >= area.Level) {
      s.SessionId = found.Id;
      // Every area that covers what runs must admit the request, also when an outer area asks
      // for more than an inner one.
      continue;
    }
    // A cookie whose session was purged still holds the credentials it was made from and logs
    // in again; one that does not (unknown, or too low a level) is answered like no
    // credentials at all, with the challenge, so the browser asks for a login.
    const std::string authorization = s.Request.GetHeader(hhAuthorization);
    const std::string& credentials = authorization.empty() ? cookie : authorization;
    if (!credentials.empty()) {
      const std::string id = sessions ? sessions->Login(credentials, area.Level) : std::string();
      if (!id.empty()) {
        s.Response.AddSetCookie(kSessionCookie, CanonicalAuthorization(credentials), false, "",
                                UTCNow() + 1.0, "/");
        s.SessionId = id;
        continue;
      }
      if (!authorization.empty()) {
        s.Response.AddSetCookie(kSessionCookie, "", false, "", -1, "/");
        s.SessionId.clear();
        s.StatusIndex = kStatusUnauthorized;
        return false;
      }
    }
    s.SessionId.clear();
    s.Response.SetHeader(hhWWWAuthenticate, "Basic realm=" + area.Realm);
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
  struct stat info {};
  if (s.WebDirectory.empty() || !RealPathInside(path, environment_.webFolder, real) ||
      ::stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
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
