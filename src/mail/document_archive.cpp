// Archiving queued messages as documents.
#include "mail/document_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  const std::string written = WriteNewFile(folders.document, {message});
  // Give the document the queue file's name without replacing an earlier copy.
  const std::string target = folders.DocumentFileName(name);
  const std::string source = folders.DocumentFileName(written);
  if (::link(source.c_str(), target.c_str()) != 0 && errno != EEXIST) {
    const int error = errno;
    ::unlink(source.c_str());
    throw platform::EFCreateError("Cannot create file \"" + target + "\". " + std::strerror(error));
  }
  ::unlink(source.c_str());
  store.AddDocument(BuildDocumentRow(message, envelope.reversePath, name));
}

}  // namespace tovenmarsh::mail
