// The three mail folders (queue, mail, document) and the safe way of putting a new file into
// one of them.
//
// A new queue, mailbox or document file is first written under a temporary name in the
// folder's "tmp" subfolder, flushed to disk, and then linked under its final name, which must
// not exist yet (a fresh unique id is drawn while it does). So a reader of the folder never
// sees a half-written file, and once the folder is flushed too the file survives a crash.
// The writers flush the file and the folder themselves unless told not to (TDurability::
// ByCaller); a caller that writes several files into one folder may then flush the files
// together (SyncFiles) and the folder once (SyncFolder) after the last, but must do both before
// anything that relies on those files (a table row, a deleted queue file) is made. Until then
// such a file is complete for readers of this process but may be lost or empty after a power
// loss, so nothing may name it yet.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

struct TMailFolders {
  std::string queue;     // each ends with "/"
  std::string mail;
  std::string document;

  std::string QueueFileName(std::string_view name) const { return queue + std::string(name); }
  std::string MailFileName(std::string_view name) const { return mail + std::string(name); }
  std::string DocumentFileName(std::string_view name) const { return document + std::string(name); }
  // Where queue files that cannot be read are moved aside.
  std::string BadQueueFolder() const { return queue + "bad/"; }
};

// The subfolder of a mail folder where new files are written before they get their name.
inline constexpr const char* kTemporarySubfolder = "tmp/";

// The folders of this installation (from the system parameters).
TMailFolders InstallationMailFolders();
// The folders below one root ("<root>/queue/", "<root>/mail/", "<root>/document/"), created
// when missing.
TMailFolders MailFoldersBelow(const std::string& root);

// Whether a writer flushes the file's bytes and its folder itself.
enum class TDurability { Now, ByCaller };

// Writes the pieces one after another as a new file in folder under a new MakeUniqueId(0)
// name, durably (see above), and answers the name. The final link runs under lock when one is
// given. Raises platform::EFCreateError / EWriteError on failure and leaves no file behind.
std::string WriteNewFile(const std::string& folder, std::initializer_list<std::string_view> pieces,
                         platform::TCriticalSection* lock = nullptr, TDurability sync = TDurability::Now);

// A new file of a folder written piece by piece, for contents too large to hold whole: it is
// written in the temporary subfolder and appears in the folder only at Finish, complete and
// flushed, as WriteNewFile's file does; dropped with nothing left behind when destroyed before.
class TNewMailFile {
 public:
  // Raises as WriteNewFile.
  explicit TNewMailFile(const std::string& folder);
  ~TNewMailFile();
  TNewMailFile(const TNewMailFile&) = delete;
  TNewMailFile& operator=(const TNewMailFile&) = delete;

  // Raises platform::EWriteError (the file is then useless: drop it).
  void Write(std::string_view bytes);
  // Flushes (unless the caller flushes it) and links the file under a new name and answers
  // it; raises as WriteNewFile.
  std::string Finish(TDurability sync = TDurability::Now);
  // Bytes written so far.
  uint64_t Size() const { return size_; }

 private:
  std::string folder_;
  std::unique_ptr<class TTempFile> file_;
  uint64_t size_ = 0;
};

// Writes the pieces as the new file folder + name in the same durable way; false (and nothing
// written) when a file of that name exists already. Raises as WriteNewFile.
bool WriteNamedFile(const std::string& folder, const std::string& name,
                    std::initializer_list<std::string_view> pieces, TDurability sync = TDurability::Now);

// The rest of source as the new file folder + name, copied a piece at a time and written
// straight under that name (no temporary file): only for a file that nobody reads before a
// table row names it, and whose leftover after a crash is found by that name. False (nothing
// written) when the name exists; raises as WriteNewFile and then leaves nothing behind.
bool CopyToNamedFile(const std::string& folder, const std::string& name, platform::TStream& source,
                     TDurability sync = TDurability::Now);

// Flushes folder's names to disk; raises platform::EFCreateError when that fails (a new name
// is durable only then, so the failure must not pass as success).
void SyncFolder(const std::string& folder);

// Flushes the bytes of the files to disk, all at once (the flushes run side by side, which a
// disk completes far sooner than one after another); answers per file whether it is on disk.
std::vector<bool> SyncFiles(const std::vector<std::string>& paths);

// Creates folder (and its parent) when missing.
void EnsureFolder(const std::string& folder);

// The names of the regular files in folder (hidden ones passed over), sorted; none when the
// folder does not exist.
std::vector<std::string> FilesInFolder(const std::string& folder);

// Removes what interrupted writes left in the temporary subfolders of the three folders (a
// temporary file is finished or abandoned by the time the mail services start, so whatever is
// there then is an orphan) and answers how many files went.
int RemoveTemporaryFiles(const TMailFolders& folders);

}  // namespace tovenmarsh::mail
