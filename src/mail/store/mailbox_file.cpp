// Mailbox files: delivery from a queue file, sending, reading, deleting.
#include "mail/store/mailbox_file.h"

#include <cerrno>
#include <functional>
#include <limits>
#include <string_view>

#include "mail/message/mail_message.h"
#include "mail/message/mime_codecs.h"
#include "platform/exception.h"
#include "platform/file_system.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

void DeliverMessageToMailbox(const TMailFolders& folders, const std::string& reversePath, const std::string& message,
                             resources::TMailDropRec& record, TDurability sync) {
  const std::string returnPath = ReturnPathLine(reversePath);
  const size_t size = returnPath.size() + message.size();
  if (size > static_cast<size_t>(std::numeric_limits<int>::max())) throw EQueueFile("Message too large for a mailbox");
  platform::TStringStream whole(returnPath + message);
  const int hash = StreamCRC32(whole);
  record.id = WriteNewFile(folders.mail, {returnPath, message}, nullptr, sync);
  record.size = static_cast<int>(size);
  record.hash = hash;
  record.deleted = false;
}

namespace {

constexpr size_t kCopyPiece = 64 * 1024;

// Copies the message part of the queue file after returnPath into out, a piece at a time;
// answers the size and the CRC of what was written.
void CopyQueueMessage(const TMailFolders& folders, const std::string& queueName, const std::string& returnPath,
                      const std::function<void(std::string_view)>& out, int& size, int& hash) {
  platform::TFileStream queue(folders.QueueFileName(queueName), platform::fmOpenRead);
  SkipEnvelope(queue);
  const int64_t total = static_cast<int64_t>(returnPath.size()) + queue.Size() - queue.Position();
  if (total > std::numeric_limits<int>::max()) throw EQueueFile("Message too large for a mailbox");
  uint32_t crc = Crc32Update(kCrc32Start, returnPath.data(), returnPath.size());
  out(returnPath);
  std::string piece(kCopyPiece, '\0');
  int64_t written = static_cast<int64_t>(returnPath.size());
  for (size_t n; (n = queue.Read(piece.data(), piece.size())) > 0;) {
    crc = Crc32Update(crc, piece.data(), n);
    out(std::string_view(piece.data(), n));
    written += static_cast<int64_t>(n);
  }
  if (written > std::numeric_limits<int>::max()) throw EQueueFile("Message too large for a mailbox");
  size = static_cast<int>(written);
  hash = Crc32Value(crc);
}

}  // namespace

void DeliverToMailbox(const TMailFolders& folders, const TQueueRec& entry, resources::TMailDropRec& record,
                      TDurability sync) {
  if (entry.queueFile == nullptr) throw EQueueFile("Queue entry without a queue file");
  TNewMailFile file(folders.mail);
  int size = 0;
  int hash = 0;
  CopyQueueMessage(folders, entry.queueFile->fileName, ReturnPathLine(entry.reversePath),
                   [&file](std::string_view bytes) { file.Write(bytes); }, size, hash);
  record.id = file.Finish(sync);
  record.size = size;
  record.hash = hash;
  record.deleted = false;
}

bool DeliverToMailboxAs(const TMailFolders& folders, const TQueueRec& entry, const std::string& id,
                        resources::TMailDropRec& record, bool flushFile) {
  if (entry.queueFile == nullptr) throw EQueueFile("Queue entry without a queue file");
  const std::string path = folders.MailFileName(id);
  platform::TFileDescriptor file;
  if (const int error = platform::OpenFile(path, platform::kOpenNew, file)) {
    if (error == EEXIST) return false;
    throw platform::EFCreateError("Cannot create file \"" + path + "\". " + platform::FileSystemReason(error));
  }
  int size = 0;
  int hash = 0;
  try {
    CopyQueueMessage(folders, entry.queueFile->fileName, ReturnPathLine(entry.reversePath),
                     [&file, &path](std::string_view bytes) {
                       if (const int error = platform::WriteAll(file.Get(), bytes)) {
                         throw platform::EWriteError("Stream write error on \"" + path + "\": " +
                                                     platform::FileSystemReason(error));
                       }
                     },
                     size, hash);
    // On the open descriptor: opening the file again only to flush it costs a lookup each.
    if (flushFile) {
      if (const int error = platform::SyncFile(file.Get())) {
        throw platform::EWriteError("Cannot flush \"" + path + "\": " + platform::FileSystemReason(error));
      }
    }
    if (const int error = file.Close()) {
      throw platform::EWriteError("Cannot close \"" + path + "\": " + platform::FileSystemReason(error));
    }
  } catch (...) {
    file.Close();
    (void)platform::RemoveFile(path);
    throw;
  }
  record.id = id;
  record.size = size;
  record.hash = hash;
  record.deleted = false;
  return true;
}

bool SendMailboxFile(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer) {
  try {
    platform::TFileStream file(folders.MailFileName(name), platform::fmOpenRead);
    if (buffer.LoadFromStreamStuffed(file) == 0) buffer.AddText(".\r\n");
    return true;
  } catch (const platform::Exception&) {
    return false;
  }
}

long long MailboxTransferSize(long long fileSize) { return fileSize > 0 ? fileSize + 2 : 0; }

std::string ReadMailboxFile(const TMailFolders& folders, const std::string& name) {
  try {
    platform::TMemoryStream stream;
    stream.LoadFromFile(folders.MailFileName(name));
    return stream.Bytes();
  } catch (const platform::Exception&) {
    return {};
  }
}

bool DeleteMailboxFile(const TMailFolders& folders, const std::string& name) {
  return platform::RemoveFile(folders.MailFileName(name)) == 0;
}

bool MailboxFileExists(const TMailFolders& folders, const std::string& name) {
  return !name.empty() && platform::IsRegularFile(folders.MailFileName(name));
}

}  // namespace tovenmarsh::mail
