// Shared helpers of the file-layer tests: a scratch directory, a forked second process, and the
// number of descriptors this process holds on a path.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engine/base/engine_error.h"

namespace tovenmarsh::engine::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tm_engine_file_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  bool Has(const std::string& name) const { return std::filesystem::exists(*this / name); }
  void Put(const std::string& name, const std::string& content) const {
    std::ofstream(*this / name, std::ios::binary) << content;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(*this / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t Entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path_),
                                             std::filesystem::directory_iterator()));
  }

 private:
  std::string path_;
};

// Runs `body` in a forked child and returns its exit code (255 when it did not exit normally).
inline int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 254;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// How many of this process's descriptors refer to the file at `path`.
inline int DescriptorsOn(const std::string& path) {
  std::error_code error;
  const auto target = std::filesystem::canonical(path, error);
  if (error) return 0;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored) == target) ++count;
  }
  return count;
}

// The engine error code `body` raised, or 0 when it raised none.
inline int RaisedCode(const std::function<void()>& body, std::string* tableName = nullptr) {
  try {
    body();
  } catch (const EFenEngineError& error) {
    if (tableName != nullptr) *tableName = error.Names().TableName;
    return error.Code();
  }
  return 0;
}

}  // namespace tovenmarsh::engine::testing
