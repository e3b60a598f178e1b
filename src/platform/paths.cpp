// Installation paths over /proc and the POSIX file calls.
#include "platform/paths.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tovenmarsh::platform {

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.rfind(PathDelimiter);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.rfind(PathDelimiter);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (path.empty() || path.back() == PathDelimiter) return path;
  return path + PathDelimiter;
}

std::string SystemTempFolder() {
  const char* env = std::getenv("TMPDIR");
  std::string folder = env != nullptr && *env != '\0' ? std::string(env) : std::string("/tmp");
  folder = IncludeTrailingPathDelimiter(folder);
  // The system call this stands for fails when the path does not fit its 128-character buffer.
  if (folder.size() >= 128) return {};
  return folder;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDir(const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }  // owner only

int64_t FreeDiskSpace(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return -1;
  const unsigned long long bytes = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
  return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

}  // namespace tovenmarsh::platform
