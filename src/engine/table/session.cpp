// Sessions: private directory, passwords, and the directories opened through the session.
#include "engine/table/session.h"

#include <algorithm>
#include <memory>

#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/io/file_list.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

TDataSession::TDataSession() {
  const std::string cwd = platform::CurrentFolder();
  workingDir_ = AddTrailingBackslash(Trimmed(cwd.empty() ? "." : cwd));
}

TDataSession::~TDataSession() {
  directories_.clear();
  passwords_.clear();
}

std::string TDataSession::GetPrivateDir() const { return privateDir_.empty() ? workingDir_ : privateDir_; }

void TDataSession::SetPrivateDir(const std::string& dir) {
  if (Trimmed(dir).empty()) return;
  const std::string normal = AddTrailingBackslash(Trimmed(dir));
  if (normal != privateDir_) privateDir_ = normal;
}

void TDataSession::AddPassword(const std::string& password) {
  if (password.empty() || HasPassword(password)) return;
  passwords_.push_back(password);
}

void TDataSession::RemovePassword(const std::string& password) {
  auto it = std::find(passwords_.begin(), passwords_.end(), password);
  if (it != passwords_.end()) passwords_.erase(it);
}

void TDataSession::RemoveAllPasswords() { passwords_.clear(); }

bool TDataSession::HasPassword(const std::string& password) const {
  return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

TDataDirectory* TDataSession::OpenDirectory(const std::string& name, const std::string& path) {
  std::string normal, universal;
  if (!SameEngineName(Trimmed(name), "MEMORY")) {
    normal = Trimmed(path).empty() ? workingDir_ : AddTrailingBackslash(Trimmed(path));
    universal = GetUniversalName(normal);
    if (universal.empty()) universal = normal;
  }
  auto same = [](std::string x, std::string y) {
    std::replace(x.begin(), x.end(), '\\', '/');
    std::replace(y.begin(), y.end(), '\\', '/');
    return SameEngineName(Trimmed(x), Trimmed(y));
  };
  for (auto& d : directories_) {
    if (same(d->UniversalPath(), universal)) {
      ++d->References;
      return d.get();
    }
  }
  directories_.push_back(std::make_unique<TDataDirectory>(this, this, name, normal, universal));
  return directories_.back().get();
}

int TDataSession::CloseDirectory(TDataDirectory* directory) {
  auto it = std::find_if(directories_.begin(), directories_.end(),
                         [directory](const std::unique_ptr<TDataDirectory>& d) { return d.get() == directory; });
  if (it == directories_.end() || (*it)->References <= 0) return -kErrAccessDenied;
  if (--(*it)->References == 0) directories_.erase(it);
  return 0;
}

TDataSession* CreateEngineSession() { return std::make_unique<TDataSession>().release(); }

void FreeEngineSession(TDataSession*& session) {
  std::unique_ptr<TDataSession> owned(session);
  session = nullptr;
}

}  // namespace tovenmarsh::engine
