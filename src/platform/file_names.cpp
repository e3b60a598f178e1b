// Canonical spelling and case-insensitive lookup of table-file names (see file_names.h).
#include "platform/file_names.h"

#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace tovenmarsh::platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
    buffer.resize(buffer.size() * 2);
  }
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string TrimFileName(std::string_view name) {
  size_t first = 0;
  size_t last = name.size();
  while (first < last && IsBlank(name[first])) ++first;
  while (last > first && IsBlank(name[last - 1])) --last;
  return std::string(name.substr(first, last - first));
}

std::string FoldFileNameCase(std::string_view name) {
  std::string result(name);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string CanonicalFilePath(std::string_view name) {
  std::string text = TrimFileName(name);
  // A NUL would cut the name short at the system call and reach another file.
  if (text.empty() || text.find('\0') != std::string::npos) return {};
  for (char& c : text)
    if (c == '\\') c = '/';
  if (text[0] != '/') text = CurrentDirectory() + "/" + text;

  // Split into components, dropping empty and "." ones; ".." is left to the kernel because a
  // lexical reduction would be wrong across symbolic links.
  std::vector<std::string_view> parts;
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  const bool directoryOnly = text.back() == '/';
  std::string result;
  for (size_t i = 0; i < parts.size(); ++i) {
    result += '/';
    if (i + 1 == parts.size() && !directoryOnly)
      result += FoldFileNameCase(parts[i]);
    else
      result += parts[i];
  }
  if (result.empty() || directoryOnly) result += '/';
  return result;
}

bool SameFilePath(std::string_view a, std::string_view b) {
  return CanonicalFilePath(a) == CanonicalFilePath(b);
}

std::string DirectoryOfPath(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash + 1));
}

std::string FinalComponent(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(slash + 1));
}

std::string ResolveFilePath(std::string_view name, bool* found) {
  const std::string canonical = CanonicalFilePath(name);
  if (found != nullptr) *found = false;
  if (canonical.empty() || canonical.back() == '/') return canonical;
  if (PathExists(canonical)) {
    if (found != nullptr) *found = true;
    return canonical;
  }
  const std::string directory = DirectoryOfPath(canonical);
  const std::string wanted = FinalComponent(canonical);  // already folded
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return canonical;
  std::string best;
  bool have = false;
  while (dirent* entry = readdir(dir.get())) {
    std::string_view entryName(entry->d_name);
    if (entryName.size() != wanted.size() || FoldFileNameCase(entryName) != wanted) continue;
    if (!have || entryName < best) {
      best = std::string(entryName);
      have = true;
    }
  }
  if (!have) return canonical;
  if (found != nullptr) *found = true;
  return directory + best;
}

}  // namespace tovenmarsh::platform
