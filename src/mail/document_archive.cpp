// Archiving queued messages as documents.
#include "mail/document_archive.h"

#include "mail/iso_header.h"
#include "mail/mail_address.h"
#include "mail/mail_message.h"
#include "mail/mime_types.h"
#include "mail/queue_file.h"
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
  row.content = parsed.GetBodyText();
  row.extfileref = std::string(fileName);
  return row;
}

void ArchiveQueueFile(const TMailFolders& folders, const std::string& name, TDocumentStore& store) {
  TEnvelope envelope;
  if (ReadEnvelope(folders, name, envelope) != TEnvelopeStatus::Ok) {
    throw EQueueFile("Queue file " + name + " cannot be archived: its envelope cannot be read");
  }
  const std::string message = ReadQueueMessage(folders, name);
  // Under the queue file's name; an earlier copy (archived before a crash) stays as it is.
  WriteNamedFile(folders.document, name, {message});
  store.AddDocument(BuildDocumentRow(message, envelope.reversePath, name));
}

}  // namespace tovenmarsh::mail
