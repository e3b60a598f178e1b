// The default web folder (see web_default_files.h).
#include "web/app/web_default_files.h"

#include <exception>

#include "core/log.h"
#include "core/system_parameters.h"
#include "platform/file.h"
#include "platform/stream.h"

namespace tovenmarsh::web {

namespace {

struct TEmbeddedWebFile {
  const char* name;
  const unsigned char* bytes;
  size_t size;
};

#include "web_default_files.inc"

}  // namespace

const std::vector<TDefaultWebFile>& DefaultWebFiles() {
  static const std::vector<TDefaultWebFile> files = [] {
    std::vector<TDefaultWebFile> list;
    for (const TEmbeddedWebFile& file : kWebFiles) {
      list.push_back({file.name, std::string_view(reinterpret_cast<const char*>(file.bytes), file.size)});
    }
    return list;
  }();
  return files;
}

std::vector<std::string> InstallDefaultWebFiles(const std::string& folder) {
  std::vector<std::string> written;
  for (const TDefaultWebFile& file : DefaultWebFiles()) {
    const std::string path = folder + file.name;
    // Created only when no file of that name exists, atomically, so a file the user put
    // there (or changed) is never replaced.
    const int created = platform::CreateNewFileOnDisk(path);
    if (created == 1) continue;
    try {
      if (created != 0) throw platform::EFCreateError("cannot be created");
      platform::TFileStream stream(path, platform::fmOpenWrite);
      stream.WriteString(file.bytes);
      written.push_back(file.name);
    } catch (const std::exception& e) {
      // Half a file would never be completed: take it away and let the next start try again.
      if (created == 0) platform::DeleteFileOnDisk(path);
      core::LogWarning("The default web file " + file.name + " was not written: " + e.what(), true);
    }
  }
  return written;
}

std::vector<std::string> InstallDefaultWebFiles() {
  return InstallDefaultWebFiles(core::SystemParameters().WebFolder());
}

}  // namespace tovenmarsh::web
