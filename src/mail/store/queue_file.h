// Queue files: one file per accepted or collected message in the queue folder, named by a
// MakeUniqueId(0) text without extension, and the records that queue processing and relay
// keep for them.
//
// Layout: a 4-byte little-endian length N, N bytes of envelope text (helo domain, reverse path,
// account number in decimal, then the recipients, every line ended by CR LF), then the message.
// A received message is stored as a Received line plus the message with its dot-stuffing
// removed and without the end-of-data line; sending it again (SendQueueFile) restores both.
//
// Contract: a queue file appears in the folder only complete and flushed to disk (see
// WriteNewFile); envelope texts never hold CR, LF or NUL inside a field (WriteEnvelope refuses
// them, so no field can add envelope lines); reading checks N against the file's size, and a
// file whose envelope cannot be read is moved to the "bad" subfolder and logged instead of
// being retried forever. Reading the envelope, sending and deleting run under the queue-folder
// lock; creating needs none, since a queue file appears whole in one link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tcp_buffer.h"
#include "mail/store/mail_folders.h"
#include "platform/date_time.h"
#include "platform/exception.h"
#include "platform/stream.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

TM_DECLARE_EXCEPTION(EQueueFile, platform::Exception);

// Offsets and bounds of the queue file format.
inline constexpr size_t kEnvelopeLengthSize = 4;
inline constexpr uint32_t kMaxEnvelopeLength = 4u * 1024u * 1024u;
static_assert(kEnvelopeLengthSize == sizeof(uint32_t));

// The process-wide lock of the queue folder.
platform::TCriticalSection& QueueFolderLock();

// The queue file being processed.
struct TDataRec {
  std::string fileName;
  int openEntries = 0;  // entries not yet released
  int entries = 0;      // entries created for the file
  int bounced = 0;      // entries bounced
  platform::TDateTime created = 0;
};

// Relay states of a queue entry.
enum TRelayState : uint8_t {
  rsNew = 0,
  rsWaiting = 1,
  rsInProgress = 2,
  rsDelivered = 3,
  rsTemporaryFailure = 4,
  rsPermanentFailure = 5,
};

// One recipient of a queue file.
struct TQueueRec {
  std::string user;    // local part
  std::string domain;
  std::string helo;
  std::string reversePath;
  TDataRec* queueFile = nullptr;  // owned by the queue processing
  int accountNo = 0;
  int listDepth = 0;  // 0 for a recipient of the file itself, +1 per list expansion
  bool bounced = false;
  int retriesLeft = 0;
  platform::TDateTime created = 0;
  platform::TDateTime lastAttempt = 0;
  platform::TDateTime nextAttempt = 0;
  uint8_t relayState = rsNew;
};

// The envelope of a queue file as read back.
struct TEnvelope {
  std::string helo;
  std::string reversePath;
  int accountNo = 0;
  std::vector<std::string> recipients;
};

// The envelope text; raises EQueueFile when a field holds CR, LF or NUL (recipients text is
// split at CR LF first; its lines must not hold a lone CR, LF or NUL either).
std::string EnvelopeText(std::string_view helo, std::string_view reversePath, std::string_view recipientsText,
                         int accountNo);
// Writes N and the envelope text.
void WriteEnvelope(std::string_view helo, std::string_view reversePath, std::string_view recipientsText,
                   platform::TStream& stream, int accountNo);

// New queue files; each answers the new file's name. `message` is already unstuffed and
// without its end-of-data line; receivedLine comes before it.
std::string QueueMessageText(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                             std::string_view recipientsText, std::string_view receivedLine,
                             std::string_view message, int accountNo);
// A queue file written while its message arrives: the envelope (and a Received line) at
// once, then the message in pieces as given (already unstuffed, without the end-of-data line).
// The file appears in the queue folder only at Finish, complete and flushed; dropped with
// nothing left behind when destroyed before. Raises as QueueMessageText.
class TQueueFileWriter {
 public:
  TQueueFileWriter(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                   std::string_view recipientsText, std::string_view receivedLine, int accountNo);
  void Write(std::string_view bytes) { file_.Write(bytes); }
  // Answers the new queue file's name.
  std::string Finish() { return file_.Finish(); }

 private:
  TNewMailFile file_;
};

// The buffer holds a message as received (dot-stuffed, ending with the end-of-data line); it is
// stored after ReceivedLine(helo), unstuffed.
std::string QueueMessageFromBuffer(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                                   std::string_view recipientsText, const core::TTCPBuffer& buffer, int accountNo);
// The stream from its position to its end, as it is, except that a final end-of-data line
// (CR LF "." CR LF, as a saved message ends) is dropped.
std::string QueueMessageFromStream(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                                   std::string_view recipientsText, platform::TStream& stream, int accountNo);

// Positions a queue file stream after its envelope; raises EQueueFile when the length does not
// fit the stream.
void SkipEnvelope(platform::TStream& stream);

enum class TEnvelopeStatus { Ok, Missing, Bad, Unreadable };
// Reads the envelope of queue file name. Bad (too short, length beyond the file, fewer than 3
// lines, an unterminated line) moves the file aside and logs it; Missing means it is gone;
// Unreadable means it could not be opened now (left in place and logged, worth a later try).
TEnvelopeStatus ReadEnvelope(const TMailFolders& folders, const std::string& name, TEnvelope& envelope);
// The boolean form: true only for Ok.
bool ReadEnvelope(const TMailFolders& folders, const std::string& name, std::string& helo, std::string& reversePath,
                  std::vector<std::string>& recipients, int& accountNo);
// Parses an envelope from the whole bytes of a queue file (no side effects); false when bad,
// with the reason.
bool ParseQueueFile(std::string_view bytes, TEnvelope& envelope, size_t& messageStart, std::string& reason);

// Appends the message part dot-stuffed with the end-of-data line; false when the file cannot
// be read.
bool SendQueueFile(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer);
// Sends the message part as SendQueueFile appends it, a piece at a time: flush is called
// whenever buffer holds a piece (and after the end-of-data line) and must send and empty it,
// answering false when that failed. The queue-folder lock is held only while the file is
// opened (an open file outlives its deletion), not while sending. Answers Unreadable when the
// file cannot be read (what was sent before is then incomplete), Unsent when flush failed.
enum class TPieceSend { Sent, Unreadable, Unsent };
// The same for the rest of any stream (as LoadFromStreamStuffed appends it, then the
// end-of-data line; ".\r\n" alone for an empty rest).
TPieceSend SendStreamInPieces(platform::TStream& stream, core::TTCPBuffer& buffer, const std::function<bool()>& flush);
TPieceSend SendQueueFileInPieces(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer,
                                 const std::function<bool()>& flush);
// The message part, raw.
std::string ReadQueueMessage(const TMailFolders& folders, const std::string& name);
// At most the first limit bytes of the message part.
std::string ReadQueueMessageHead(const TMailFolders& folders, const std::string& name, size_t limit);
bool DeleteQueueFile(const TMailFolders& folders, const std::string& name);
// Deletes the files side by side under the queue-folder lock (taken once for all of them) and
// answers per name whether its file is gone (deleted, or found missing); for each one gone,
// afterEach(i) runs right after, in the same task (it must not throw).
std::vector<bool> DeleteQueueFiles(const TMailFolders& folders, const std::vector<std::string>& names,
                                   const std::function<void(size_t)>& afterEach);
// Moves the file into the "bad" subfolder and logs why; false when that failed.
bool MoveQueueFileAside(const TMailFolders& folders, const std::string& name, const std::string& reason);
// Adds every regular file of the queue folder that names does not hold yet (subfolders and
// hidden files are passed over); false when the folder holds no file.
bool ScanQueueFolder(const TMailFolders& folders, std::vector<std::string>& names);

}  // namespace tovenmarsh::mail
