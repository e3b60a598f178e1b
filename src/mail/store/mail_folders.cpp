// Mail folders and durable creation of new mail files.
#include "mail/store/mail_folders.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>

#include "core/system_parameters.h"
#include "core/unique_id.h"
#include "mail/store/folder_flush.h"
#include "mail/store/side_by_side.h"
#include "mail/store/spare_files.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

namespace {

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string SystemReason(int error) { return platform::FileSystemReason(error); }

}  // namespace

// Closes the descriptor and removes the temporary file unless released.
class TTempFile {
 public:
  explicit TTempFile(std::string path) : path_(std::move(path)) {
    if (const int error = platform::OpenFile(path_, platform::kOpenNew, file_)) {
      throw platform::EFCreateError("Cannot create file \"" + path_ + "\". " + SystemReason(error));
    }
  }
  // Over a spare file (see spare_files.h), which is the caller's alone; raises as above when it
  // cannot be opened (its folder was removed, say).
  struct TSpare {};
  TTempFile(TSpare, std::string path) : path_(std::move(path)) {
    if (const int error = platform::OpenFile(path_, platform::kOpenWrite | platform::kOpenTruncate, file_)) {
      throw platform::EFCreateError("Cannot open file \"" + path_ + "\". " + SystemReason(error));
    }
  }
  ~TTempFile() {
    file_.Close();
    (void)platform::RemoveFile(path_);  // its final name, if it got one, is a link of its own
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  void Write(std::string_view bytes) {
    if (const int error = platform::WriteAll(file_.Get(), bytes)) {
      throw platform::EWriteError("Stream write error on \"" + path_ + "\": " + SystemReason(error));
    }
  }
  void SyncAndClose() {
    if (const int error = platform::SyncFile(file_.Get())) {
      throw platform::EWriteError("Cannot flush \"" + path_ + "\": " + SystemReason(error));
    }
    Close();
  }
  void Close() {
    if (const int error = file_.Close()) {
      throw platform::EWriteError("Cannot close \"" + path_ + "\": " + SystemReason(error));
    }
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  platform::TFileDescriptor file_;
};

namespace {

// Flushes the folder after path got its name there (one flush for every writer of the folder
// that waits at the time); when that fails the name goes again, so that nobody takes up a file
// whose writer was told it failed.
void SyncFolderOrUnlink(const std::string& folder, const std::string& path) {
  if (const int error = FlushFolderShared(folder)) {
    (void)platform::RemoveFile(path);
    throw platform::EFCreateError("Cannot flush folder \"" + folder + "\". " + SystemReason(error));
  }
}

}  // namespace

void SyncFolder(const std::string& folder) {
  if (const int error = platform::SyncFolder(folder)) {
    throw platform::EFCreateError("Cannot flush folder \"" + folder + "\". " + SystemReason(error));
  }
}

void EnsureFolder(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || platform::DirectoryExists(path)) return;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) EnsureFolder(path.substr(0, slash));
  if (const int error = platform::MakeFolder(path); error != 0 && error != EEXIST) {
    throw platform::EFCreateError("Cannot create folder \"" + path + "\". " + SystemReason(error));
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
  if (const int error = platform::LinkNewName(temp->Path(), path)) {
    if (error == EEXIST) return false;
    throw platform::EFCreateError("Cannot create file \"" + path + "\". " + SystemReason(error));
  }
  if (sync == TDurability::Now) SyncFolderOrUnlink(target, path);
  return true;
}

bool CopyToNamedFile(const std::string& folder, const std::string& name, platform::TStream& source,
                     TDurability sync) {
  const std::string path = WithSlash(folder) + name;
  platform::TFileDescriptor file;
  if (const int error = platform::OpenFile(path, platform::kOpenNew, file)) {
    if (error == EEXIST) return false;
    throw platform::EFCreateError("Cannot create file \"" + path + "\". " + SystemReason(error));
  }
  try {
    std::string piece(64 * 1024, '\0');
    for (size_t n; (n = source.Read(piece.data(), piece.size())) > 0;) {
      if (const int error = platform::WriteAll(file.Get(), std::string_view(piece.data(), n))) {
        throw platform::EWriteError("Stream write error on \"" + path + "\": " + SystemReason(error));
      }
    }
    if (sync == TDurability::Now) {
      if (const int error = platform::SyncFile(file.Get())) {
        throw platform::EWriteError("Cannot flush \"" + path + "\": " + SystemReason(error));
      }
    }
    if (const int error = file.Close()) {
      throw platform::EWriteError("Cannot close \"" + path + "\": " + SystemReason(error));
    }
  } catch (...) {
    file.Close();
    (void)platform::RemoveFile(path);
    throw;
  }
  if (sync == TDurability::Now) SyncFolderOrUnlink(WithSlash(folder), path);
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
    const int error = platform::LinkNewName(temp.Path(), path);
    if (error == 0) {
      if (sync == TDurability::Now) SyncFolderOrUnlink(target, path);
      return name;
    }
    if (error != EEXIST) {
      throw platform::EFCreateError("Cannot create file \"" + path + "\". " + SystemReason(error));
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
  // A spare of this folder (the queue keeps its finished files as spares) saves a create.
  if (std::string spare = TakeSpare(folder_ + kSpareSubfolder); !spare.empty()) {
    try {
      file_ = std::make_unique<TTempFile>(TTempFile::TSpare{}, spare);
      return;
    } catch (const platform::Exception&) {
      (void)platform::RemoveFile(spare);  // of no use: a new file instead
    }
  }
  const std::string tempFolder = folder_ + kTemporarySubfolder;
  EnsureFolder(tempFolder);
  file_ = std::make_unique<TTempFile>(tempFolder + core::MakeUniqueId(0));
}

TNewMailFile::~TNewMailFile() = default;

void TNewMailFile::Write(std::string_view bytes) {
  file_->Write(bytes);
  size_ += bytes.size();
}

std::string TNewMailFile::Finish(TDurability sync) {
  if (sync == TDurability::Now) {
    file_->SyncAndClose();
  } else {
    file_->Close();
  }
  return LinkNewName(*file_, folder_, nullptr, sync);
}

std::vector<bool> SyncFiles(const std::vector<std::string>& paths) {
  std::vector<char> done(paths.size(), 0);  // not vector<bool>: threads write neighbouring entries
  if (paths.size() == 1) {
    done[0] = platform::SyncPath(paths[0]) == 0;
  } else if (!paths.empty()) {
    RunSideBySide(paths.size(), [&](size_t i) { done[i] = platform::SyncPath(paths[i]) == 0; });
  }
  return std::vector<bool>(done.begin(), done.end());
}

std::vector<std::string> FilesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  const std::string base = WithSlash(folder);
  (void)platform::ListRegularFiles(base, false, names);  // a folder that is missing holds none
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return name[0] == '.'; }),
              names.end());
  std::sort(names.begin(), names.end());
  return names;
}

int RemoveTemporaryFiles(const TMailFolders& folders) {
  int removed = 0;
  for (const std::string* folder : {&folders.queue, &folders.mail, &folders.document}) {
    const std::string temporary = WithSlash(*folder) + kTemporarySubfolder;
    for (const std::string& name : FilesInFolder(temporary)) {
      if (platform::RemoveFile(temporary + name) == 0) ++removed;
    }
    // Spares are kept in memory only: those of a run before are nobody's.
    const std::string spares = WithSlash(*folder) + kSpareSubfolder;
    for (const std::string& name : FilesInFolder(spares)) (void)platform::RemoveFile(spares + name);
  }
  return removed;
}

}  // namespace tovenmarsh::mail
