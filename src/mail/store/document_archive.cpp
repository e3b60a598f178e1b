// Archiving queued messages as documents.
#include "mail/store/document_archive.h"

#include "core/log.h"
#include "mail/message/iso_header.h"
#include "mail/message/mail_address.h"
#include "mail/message/mail_message.h"
#include "mail/message/message_text.h"
#include "mail/message/mime_types.h"
#include "mail/store/queue_file.h"
#include "platform/format.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

TDocumentRow BuildDocumentRow(std::string_view message, std::string_view reversePath, std::string_view fileName) {
  TMailMessage parsed;
  platform::TStringStream stream(message);
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

// How much of a message's start its document row is made from.
constexpr size_t kArchiveRowBytes = 2 * 1024 * 1024;

TDocumentRow PrepareArchive(const TMailFolders& folders, const std::string& name) {
  TEnvelope envelope;
  if (ReadEnvelope(folders, name, envelope) != TEnvelopeStatus::Ok) {
    throw EQueueFile("Queue file " + name + " cannot be archived: its envelope cannot be read");
  }
  // Under the queue file's name, copied a piece at a time; an earlier copy (archived before a
  // crash) stays as it is. The row is made from the message's start: its header and text come
  // first, and a whole large message parsed would sit in memory several times over.
  int64_t messageBytes = 0;
  {
    platform::TFileStream queue(folders.QueueFileName(name), platform::fmOpenRead);
    SkipEnvelope(queue);
    messageBytes = queue.Size() - queue.Position();
    CopyToNamedFile(folders.document, name, queue, TDurability::ByCaller);
  }
  // Said, not silent: the search will not find words behind the cut (the document file keeps
  // the whole message).
  if (messageBytes > static_cast<int64_t>(kArchiveRowBytes)) {
    core::LogMessage(platform::Format("Queue file %s: the archive row holds the text of the first %zu of %lld bytes",
                                      name.c_str(), kArchiveRowBytes, static_cast<long long>(messageBytes)));
  }
  return BuildDocumentRow(ReadQueueMessageHead(folders, name, kArchiveRowBytes), envelope.reversePath, name);
}

void ArchiveQueueFile(const TMailFolders& folders, const std::string& name, TDocumentStore& store) {
  const TDocumentRow row = PrepareArchive(folders, name);
  // The row names the file: the file must be on disk first.
  if (!SyncFiles({folders.DocumentFileName(name)})[0]) throw EQueueFile("Document file " + name + " cannot be flushed");
  SyncFolder(folders.document);
  store.AddDocument(row);
}

}  // namespace tovenmarsh::mail
