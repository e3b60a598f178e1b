// Canonical spelling and case-insensitive lookup of table-file names (see file_names.h).
#include "platform/file_names.h"

#include "platform/file_stamp.h"

#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
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

// The entries of directories searched for another spelling: a lookup of a missing file searches
// its directory, and an engine looks up files that are nearly always missing (a journal) at every
// open. A listing is used again while the directory shows the stamp it had before the listing
// was read. Any change of the directory's entries sets its modification and change times to the
// current time, so a listing is only kept when those times lay further back than the times'
// resolution when the reading began: a change after the reading then always shows as a new stamp.
// Only on local file systems, whose times come from this machine's clock.
struct TListing {
  TFileStamp Stamp;
  std::map<std::string, std::string> Spellings;  // folded name -> first entry in byte order
};

constexpr size_t kMostListings = 64;
// The clock's tick bounds the times' resolution on a file system with nanosecond times; others
// (whole seconds, or two) show zero nanoseconds.
constexpr int64_t kFineResolutionNs = 100'000'000;
constexpr int64_t kCoarseResolutionNs = 3'000'000'000;

std::mutex listingsMutex;
std::map<std::string, TListing>& Listings() {
  static auto* listings = new std::map<std::string, TListing>();  // outlives static destructors
  return *listings;
}

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }


bool LocalFileSystem(int descriptor) {
  struct statfs fs;
  if (fstatfs(descriptor, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x2FC12FC1:  // zfs
    case 0xF2F52010:  // f2fs
      return true;
    default:
      return false;
  }
}

// The entry of `directory` spelling `wanted` (folded) the first in byte order, if any.
bool FindSpelling(const std::string& directory, const std::string& wanted, std::string& best) {
  {
    struct stat st;
    if (stat(directory.c_str(), &st) != 0) return false;
    std::lock_guard<std::mutex> guard(listingsMutex);
    auto it = Listings().find(directory);
    if (it != Listings().end()) {
      if (it->second.Stamp == StampOfStat(st)) {
        auto spelling = it->second.Spellings.find(wanted);
        if (spelling == it->second.Spellings.end()) return false;
        best = spelling->second;
        return true;
      }
      Listings().erase(it);
    }
  }
  timespec began{};
  (void)clock_gettime(CLOCK_REALTIME, &began);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return false;
  struct stat st;
  const bool stamped = fstat(dirfd(dir.get()), &st) == 0;
  TListing listing;
  bool have = false;
  while (dirent* entry = readdir(dir.get())) {
    std::string_view entryName(entry->d_name);
    if (entryName == "." || entryName == "..") continue;
    std::string folded = FoldFileNameCase(entryName);
    if (folded == wanted && (!have || entryName < best)) {
      best = std::string(entryName);
      have = true;
    }
    auto [at, added] = listing.Spellings.emplace(std::move(folded), entryName);
    if (!added && entryName < at->second) at->second = std::string(entryName);
  }
  if (!stamped) return have;
  listing.Stamp = StampOfStat(st);
  const bool coarse = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
  const int64_t settled = Nanoseconds(began) - (coarse ? kCoarseResolutionNs : kFineResolutionNs);
  if (listing.Stamp.ModifiedNs < settled && listing.Stamp.ChangedNs < settled && LocalFileSystem(dirfd(dir.get()))) {
    std::lock_guard<std::mutex> guard(listingsMutex);
    if (Listings().size() >= kMostListings) Listings().clear();
    Listings()[directory] = std::move(listing);
  }
  return have;
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
  std::string best;
  if (!FindSpelling(directory, wanted, best)) return canonical;
  if (found != nullptr) *found = true;
  return directory + best;
}

}  // namespace tovenmarsh::platform
