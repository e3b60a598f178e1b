// Mail folders and durable creation of new mail files.
#include "mail/store/mail_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/system_parameters.h"
#include "core/unique_id.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

namespace {

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string SystemReason(int error) { return std::strerror(error); }

}  // namespace

// Closes the descriptor and removes the temporary file unless released.
class TTempFile {
 public:
  explicit TTempFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) throw platform::EFCreateError("Cannot create file \"" + path_ + "\". " + SystemReason(errno));
  }
  ~TTempFile() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw platform::EWriteError("Stream write error on \"" + path_ + "\": " + SystemReason(errno));
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  void SyncAndClose() {
    if (::fsync(fd_) != 0) throw platform::EWriteError("Cannot flush \"" + path_ + "\": " + SystemReason(errno));
    Close();
  }
  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw platform::EWriteError("Cannot close \"" + path_ + "\": " + SystemReason(errno));
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw platform::EFCreateError("Cannot flush folder \"" + folder + "\". " + SystemReason(error));
  }
  ::close(fd);
}

void EnsureFolder(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || platform::DirectoryExists(path)) return;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) EnsureFolder(path.substr(0, slash));
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw platform::EFCreateError("Cannot create folder \"" + path + "\". " + SystemReason(errno));
  }
}

TMailFolders InstallationMailFolders() {
  const core::TSystemParameters& parameters = core::SystemParameters();
  return TMailFolders{WithSlash(parameters.QueueFolder()), WithSlash(parameters.MailFolder()),
                      WithSlash(parameters.DocumentFolder())};
}

TMailFolders MailFoldersBelow(const std::string& root) {
  const std::string base = WithSlash(root);
  TMailFolders folders{base + "queue/", base + "mail/", base + "document/"};
  EnsureFolder(folders.queue);
  EnsureFolder(folders.mail);
  EnsureFolder(folders.document);
  return folders;
}

namespace {

// The pieces written to a new file in folder's temporary subfolder and closed; flushed unless
// the caller flushes it.
std::unique_ptr<TTempFile> WriteTemporary(const std::string& target, std::initializer_list<std::string_view> pieces,
                                          TDurability durability) {
  const std::string tempFolder = target + kTemporarySubfolder;
  EnsureFolder(tempFolder);
  auto temp = std::make_unique<TTempFile>(tempFolder + core::MakeUniqueId(0));
  for (std::string_view piece : pieces) temp->Write(piece);
  if (durability == TDurability::Now) {
    temp->SyncAndClose();
  } else {
    temp->Close();
  }
  return temp;
}

}  // namespace

bool WriteNamedFile(const std::string& folder, const std::string& name,
                    std::initializer_list<std::string_view> pieces, TDurability sync) {
  const std::string target = WithSlash(folder);
  const std::unique_ptr<TTempFile> temp = WriteTemporary(target, pieces, sync);
  const std::string path = target + name;
  if (::link(temp->Path().c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) return false;
    throw platform::EFCreateError("Cannot create file \"" + path + "\". " + SystemReason(errno));
  }
  if (sync == TDurability::Now) SyncFolder(target);
  return true;
}

namespace {

// Links the closed temporary file into target under a new unique name.
std::string LinkNewName(const TTempFile& temp, const std::string& target, platform::TCriticalSection* lock,
                        TDurability sync) {
  std::unique_lock<platform::TCriticalSection> guard;
  if (lock != nullptr) guard = std::unique_lock<platform::TCriticalSection>(*lock);
  // link() never replaces an existing file: draw another id while the name is taken.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = core::MakeUniqueId(0);
    const std::string path = target + name;
    if (::link(temp.Path().c_str(), path.c_str()) == 0) {
      if (sync == TDurability::Now) SyncFolder(target);
      return name;
    }
    if (errno != EEXIST) {
      throw platform::EFCreateError("Cannot create file \"" + path + "\". " + SystemReason(errno));
    }
  }
  throw platform::EFCreateError("Cannot create a unique file in \"" + target + "\"");
}

}  // namespace

std::string WriteNewFile(const std::string& folder, std::initializer_list<std::string_view> pieces,
                         platform::TCriticalSection* lock, TDurability sync) {
  const std::string target = WithSlash(folder);
  const std::unique_ptr<TTempFile> temp = WriteTemporary(target, pieces, sync);
  return LinkNewName(*temp, target, lock, sync);
}

TNewMailFile::TNewMailFile(const std::string& folder) : folder_(WithSlash(folder)) {
  const std::string tempFolder = folder_ + kTemporarySubfolder;
  EnsureFolder(tempFolder);
  file_ = std::make_unique<TTempFile>(tempFolder + core::MakeUniqueId(0));
}

TNewMailFile::~TNewMailFile() = default;

void TNewMailFile::Write(std::string_view bytes) {
  file_->Write(bytes);
  size_ += bytes.size();
}

std::string TNewMailFile::Finish() {
  file_->SyncAndClose();
  return LinkNewName(*file_, folder_, nullptr, TDurability::Now);
}

std::vector<bool> SyncFiles(const std::vector<std::string>& paths) {
  // Plain threads rather than the C library's asynchronous I/O, whose own helper threads no
  // thread checker can follow. Each flush mostly waits on the disk, so a few threads suffice.
  constexpr size_t kMaxFlushThreads = 16;
  const size_t count = paths.size();
  std::vector<char> done(count, 0);  // not vector<bool>: threads write neighbouring entries
  std::atomic<size_t> next{0};
  const auto flushSome = [&] {
    for (size_t i = next++; i < count; i = next++) {
      const int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      done[i] = ::fsync(fd) == 0;
      ::close(fd);
    }
  };
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < std::min(count, kMaxFlushThreads); ++t) {
    try {
      helpers.emplace_back(flushSome);
    } catch (const std::system_error&) {
      break;  // no thread to be had: this one flushes the rest
    }
  }
  flushSome();
  for (std::thread& helper : helpers) helper.join();
  return std::vector<bool>(done.begin(), done.end());
}

std::vector<std::string> FilesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  const std::string base = WithSlash(folder);
  DIR* dir = ::opendir(base.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    struct stat info {};
    if (::lstat((base + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int RemoveTemporaryFiles(const TMailFolders& folders) {
  int removed = 0;
  for (const std::string* folder : {&folders.queue, &folders.mail, &folders.document}) {
    const std::string temporary = WithSlash(*folder) + kTemporarySubfolder;
    for (const std::string& name : FilesInFolder(temporary)) {
      if (::unlink((temporary + name).c_str()) == 0) ++removed;
    }
  }
  return removed;
}

}  // namespace tovenmarsh::mail
