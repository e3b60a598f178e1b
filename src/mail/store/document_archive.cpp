// Archiving queued messages as documents.
#include "mail/store/document_archive.h"

#include "mail/message/iso_header.h"
#include "mail/message/mail_address.h"
#include "mail/message/mail_message.h"
#include "mail/message/message_text.h"
#include "mail/message/mime_types.h"
#include "mail/store/queue_file.h"
#include "platform/file_system.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

namespace {

// The header lines of a message with the blank line after them; the whole message when no
// blank line ends them (a message without a body, or with bare LF line ends).
std::string_view HeaderBlock(std::string_view message) {
  if (message.substr(0, 2) == "\r\n") return message.substr(0, 2);
  const size_t blank = message.find("\r\n\r\n");
  return blank == std::string_view::npos ? message : message.substr(0, blank + 4);
}

// A queue file mapped for reading, so that a large message is neither read into memory nor
// cut short; empty when it cannot be mapped.
class TMappedQueueFile {
 public:
  explicit TMappedQueueFile(const std::string& path) {
    platform::TFileDescriptor file;
    int64_t size = 0;
    if (platform::OpenFile(path, platform::kOpenRead, file) != 0 || platform::FileSize(path, size) != 0 ||
        size <= 0) {
      return;
    }
    length_ = static_cast<size_t>(size);
    start_ = platform::MapForReading(file.Get(), length_);
    if (start_ == nullptr) length_ = 0;
  }
  ~TMappedQueueFile() { platform::UnmapForReading(start_, length_); }
  TMappedQueueFile(const TMappedQueueFile&) = delete;
  TMappedQueueFile& operator=(const TMappedQueueFile&) = delete;

  std::string_view Bytes() const { return {reinterpret_cast<const char*>(start_), length_}; }

 private:
  const uint8_t* start_ = nullptr;
  size_t length_ = 0;
};

}  // namespace

TDocumentRow BuildDocumentRow(std::string_view message, std::string_view reversePath, std::string_view fileName) {
  // The fields come from the header lines alone: parsing the whole message would copy it.
  TMailMessage parsed;
  platform::TStringStream stream(HeaderBlock(message));
  parsed.LoadFromStream(stream);
  TDocumentRow row;
  row.description = DecodeISOHeader(parsed.GetHeader(hdrSubject));
  row.to = AddressList(DecodeISOHeader(parsed.GetHeader(hdrTo)));
  row.from = AddressList(DecodeISOHeader(parsed.GetHeader(hdrFrom)));
  row.replyto = reversePath.empty() ? row.from : std::string(reversePath);
  std::string localPart;
  SplitMailAddress(row.from, localPart, row.fromdomain);
  // Not GetBodyText: that keeps only flat text/plain parts, and HTML-only, enclosed, signed or
  // nested mail would be archived without any text to find it by.
  row.content = MessageText(message);
  row.extfileref = std::string(fileName);
  return row;
}

void TDocumentStore::AddDocuments(const std::vector<TDocumentRow>& rows, size_t& added) {
  added = 0;
  for (const TDocumentRow& row : rows) {
    AddDocument(row);
    ++added;
  }
}

bool TDocumentStore::HasDocument(const std::string&) { return true; }

TDocumentRow PrepareArchive(const TMailFolders& folders, const std::string& name) {
  TEnvelope envelope;
  if (ReadEnvelope(folders, name, envelope) != TEnvelopeStatus::Ok) {
    throw EQueueFile("Queue file " + name + " cannot be archived: its envelope cannot be read");
  }
  // Under the queue file's name, copied a piece at a time; an earlier copy (archived before a
  // crash) stays as it is.
  {
    platform::TFileStream queue(folders.QueueFileName(name), platform::fmOpenRead);
    SkipEnvelope(queue);
    CopyToNamedFile(folders.document, name, queue, TDurability::ByCaller);
  }
  // The row from the whole message (its text may lie anywhere, behind a large attachment too),
  // read through a mapping rather than into memory.
  const TMappedQueueFile mapped(folders.QueueFileName(name));
  TEnvelope mappedEnvelope;
  size_t messageStart = 0;
  std::string reason;
  if (!ParseQueueFile(mapped.Bytes(), mappedEnvelope, messageStart, reason)) {
    return BuildDocumentRow(ReadQueueMessage(folders, name), envelope.reversePath, name);
  }
  return BuildDocumentRow(mapped.Bytes().substr(messageStart), envelope.reversePath, name);
}

void ArchiveQueueFile(const TMailFolders& folders, const std::string& name, TDocumentStore& store) {
  const TDocumentRow row = PrepareArchive(folders, name);
  // The row names the file: the file must be on disk first.
  if (!SyncFiles({folders.DocumentFileName(name)})[0]) throw EQueueFile("Document file " + name + " cannot be flushed");
  SyncFolder(folders.document);
  store.AddDocument(row);
}

}  // namespace tovenmarsh::mail
