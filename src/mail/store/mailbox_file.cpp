// Mailbox files: delivery from a queue file, sending, reading, deleting.
#include "mail/store/mailbox_file.h"

#include <limits>

#include "mail/message/mail_message.h"
#include "mail/message/mime_codecs.h"
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

void DeliverToMailbox(const TMailFolders& folders, const TQueueRec& entry, resources::TMailDropRec& record,
                      TDurability sync) {
  if (entry.queueFile == nullptr) throw EQueueFile("Queue entry without a queue file");
  DeliverMessageToMailbox(folders, entry.reversePath, ReadQueueMessage(folders, entry.queueFile->fileName), record,
                          sync);
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
