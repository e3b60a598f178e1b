// The pool of spare files.
#include "mail/store/spare_files.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "core/unique_id.h"
#include "platform/file_system.h"

namespace tovenmarsh::mail {

namespace {

// A few rounds' worth: more only holds inodes nobody needs.
constexpr size_t kMostSpares = 256;

struct TSparePool {
  std::mutex lock;
  std::map<std::string, std::vector<std::string>> spares;  // spare folder -> paths
};

TSparePool& Pool() {
  static TSparePool pool;
  return pool;
}

bool Gone(const std::string& path) { return platform::RemoveFile(path) == 0 || !platform::PathExists(path); }

}  // namespace

bool RetireFile(const std::string& path, const std::string& spareFolder) {
  TSparePool& pool = Pool();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    if (pool.spares[spareFolder].size() >= kMostSpares) return Gone(path);
  }
  if (platform::MakeFolders(spareFolder) != 0) return Gone(path);
  const std::string spare = spareFolder + core::MakeUniqueId(0);
  if (platform::RenamePath(path, spare) != 0) return Gone(path);
  // Emptied before anyone can take it: a spare never shows what it held.
  platform::TFileDescriptor file;
  if (platform::OpenFile(spare, platform::kOpenWrite | platform::kOpenTruncate, file) != 0 || file.Close() != 0) {
    (void)platform::RemoveFile(spare);
    return true;
  }
  ReturnSpare(spareFolder, spare);
  return true;
}

std::string TakeSpare(const std::string& spareFolder) {
  TSparePool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  const auto found = pool.spares.find(spareFolder);
  if (found == pool.spares.end() || found->second.empty()) return {};
  std::string path = std::move(found->second.back());
  found->second.pop_back();
  return path;
}

void ReturnSpare(const std::string& spareFolder, std::string path) {
  TSparePool& pool = Pool();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    std::vector<std::string>& spares = pool.spares[spareFolder];
    if (spares.size() < kMostSpares) {
      spares.push_back(std::move(path));
      return;
    }
  }
  (void)platform::RemoveFile(path);
}

}  // namespace tovenmarsh::mail
