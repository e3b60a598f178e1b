// Queue files: writing, envelope reading with its checks, sending, deleting and scanning.
#include "mail/store/queue_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "core/log.h"
#include "core/str_utils.h"
#include "mail/message/mail_message.h"
#include "mail/store/side_by_side.h"
#include "mail/store/spare_files.h"
#include "platform/file_system.h"
#include "platform/format.h"

namespace tovenmarsh::mail {

namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void PutLength(char* out, uint32_t n) {
  for (size_t i = 0; i < kEnvelopeLengthSize; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

uint32_t GetLength(const char* in) {
  uint32_t n = 0;
  for (size_t i = 0; i < kEnvelopeLengthSize; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return n;
}

std::string LengthPrefix(size_t n) {
  std::string prefix(kEnvelopeLengthSize, '\0');
  PutLength(prefix.data(), static_cast<uint32_t>(n));
  return prefix;
}

// Splits an envelope text into its CR LF-terminated lines; false when it does not end with
// CR LF or a line holds a lone CR or LF.
bool SplitEnvelopeLines(std::string_view text, std::vector<std::string>& lines, std::string& reason) {
  lines.clear();
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      reason = "unterminated envelope line";
      return false;
    }
    std::string_view line = text.substr(start, end - start);
    if (HasLineBreakOrNul(line)) {
      reason = "stray line break in envelope";
      return false;
    }
    lines.emplace_back(line);
    start = end + 2;
  }
  return true;
}

std::string StreamRest(platform::TStream& stream) {
  std::string bytes;
  char piece[16384];
  for (;;) {
    const size_t n = stream.Read(piece, sizeof piece);
    if (n == 0) break;
    bytes.append(piece, n);
  }
  return bytes;
}

}  // namespace

platform::TCriticalSection& QueueFolderLock() {
  static platform::TCriticalSection lock;
  return lock;
}

std::string EnvelopeText(std::string_view helo, std::string_view reversePath, std::string_view recipientsText,
                         int accountNo) {
  if (HasLineBreakOrNul(helo) || HasLineBreakOrNul(reversePath)) {
    throw EQueueFile("Envelope field holds a line break or NUL");
  }
  std::string text;
  text.reserve(helo.size() + reversePath.size() + recipientsText.size() + 32);
  text.append(helo).append("\r\n").append(reversePath).append("\r\n").append(std::to_string(accountNo)).append("\r\n");
  size_t start = 0;
  while (start < recipientsText.size()) {
    size_t end = recipientsText.find("\r\n", start);
    if (end == std::string_view::npos) end = recipientsText.size();
    std::string_view line = recipientsText.substr(start, end - start);
    if (HasLineBreakOrNul(line)) throw EQueueFile("Envelope recipient holds a line break or NUL");
    if (!line.empty()) text.append(line).append("\r\n");
    start = end + 2;
  }
  if (text.size() > kMaxEnvelopeLength) throw EQueueFile("Envelope too long");
  return text;
}

void WriteEnvelope(std::string_view helo, std::string_view reversePath, std::string_view recipientsText,
                   platform::TStream& stream, int accountNo) {
  const std::string text = EnvelopeText(helo, reversePath, recipientsText, accountNo);
  stream.WriteString(LengthPrefix(text.size()));
  stream.WriteString(text);
}

std::string QueueMessageText(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                             std::string_view recipientsText, std::string_view receivedLine,
                             std::string_view message, int accountNo) {
  const std::string text = EnvelopeText(helo, reversePath, recipientsText, accountNo);
  // No queue-folder lock: the file gets its name in one link of a complete, flushed file, so
  // no reader can see it half-written, and link never takes a name in use. Holding the lock
  // over the link and the folder flush that follows made every SMTP connection wait for the
  // others' flushes in turn.
  return WriteNewFile(folders.queue, {LengthPrefix(text.size()), text, receivedLine, message}, nullptr);
}

TQueueFileWriter::TQueueFileWriter(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                                   std::string_view recipientsText, std::string_view receivedLine, int accountNo)
    : file_(folders.queue) {
  const std::string text = EnvelopeText(helo, reversePath, recipientsText, accountNo);
  file_.Write(LengthPrefix(text.size()));
  file_.Write(text);
  file_.Write(receivedLine);
}

std::string QueueMessageFromBuffer(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                                   std::string_view recipientsText, const core::TTCPBuffer& buffer, int accountNo) {
  platform::TStringStream unstuffed;
  const_cast<core::TTCPBuffer&>(buffer).SaveToStreamUnstuffed(unstuffed);
  return QueueMessageText(folders, helo, reversePath, recipientsText, ReceivedLine(helo), unstuffed.DataString(),
                          accountNo);
}

std::string QueueMessageFromStream(const TMailFolders& folders, std::string_view helo, std::string_view reversePath,
                                   std::string_view recipientsText, platform::TStream& stream, int accountNo) {
  std::string rest = StreamRest(stream);
  // A message saved for sending ends with the end-of-data line; queued messages are kept
  // without it (sending adds it again), or it would reach the recipient as a body line.
  if (rest == ".\r\n") {
    rest.clear();
  } else if (rest.size() >= 5 && rest.compare(rest.size() - 5, 5, "\r\n.\r\n") == 0) {
    rest.resize(rest.size() - 5);
  }
  return QueueMessageText(folders, helo, reversePath, recipientsText, {}, rest, accountNo);
}

void SkipEnvelope(platform::TStream& stream) {
  char prefix[kEnvelopeLengthSize];
  if (stream.Read(prefix, sizeof prefix) != sizeof prefix) throw EQueueFile("Queue file too short");
  const uint32_t n = GetLength(prefix);
  if (n > kMaxEnvelopeLength || static_cast<int64_t>(n) > stream.Size() - stream.Position()) {
    throw EQueueFile("Queue file envelope length beyond the file");
  }
  stream.Seek(n, platform::SeekOrigin::Current);
}

bool ParseQueueFile(std::string_view bytes, TEnvelope& envelope, size_t& messageStart, std::string& reason) {
  envelope = TEnvelope{};
  if (bytes.size() < kEnvelopeLengthSize) {
    reason = "file shorter than its envelope length";
    return false;
  }
  const uint32_t n = GetLength(bytes.data());
  if (n > kMaxEnvelopeLength || n > bytes.size() - kEnvelopeLengthSize) {
    reason = platform::Format("envelope length %u beyond the file size %zu", n, bytes.size());
    return false;
  }
  std::vector<std::string> lines;
  if (!SplitEnvelopeLines(bytes.substr(kEnvelopeLengthSize, n), lines, reason)) return false;
  if (lines.size() < 3) {
    reason = "envelope has fewer than 3 lines";
    return false;
  }
  envelope.helo = lines[0];
  envelope.reversePath = lines[1];
  envelope.accountNo = core::TextToInt(lines[2]);
  envelope.recipients.assign(lines.begin() + 3, lines.end());
  messageStart = kEnvelopeLengthSize + n;
  return true;
}

TEnvelopeStatus ReadEnvelope(const TMailFolders& folders, const std::string& name, TEnvelope& envelope) {
  std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
  const std::string path = folders.QueueFileName(name);
  std::string head;
  try {
    platform::TFileStream file(path, platform::fmOpenRead);
    const int64_t size = file.Size();
    char prefix[kEnvelopeLengthSize];
    if (size >= static_cast<int64_t>(kEnvelopeLengthSize) && file.Read(prefix, sizeof prefix) == sizeof prefix) {
      const uint32_t n = GetLength(prefix);
      head.assign(prefix, sizeof prefix);
      if (n <= kMaxEnvelopeLength && static_cast<int64_t>(n) <= size - static_cast<int64_t>(kEnvelopeLengthSize)) {
        std::string text(n, '\0');
        if (file.Read(text.data(), n) != n) text.clear();
        head += text;
      }
    } else {
      head.clear();
    }
  } catch (const platform::Exception& e) {
    if (!platform::PathExists(path)) return TEnvelopeStatus::Missing;
    core::LogErrorText(platform::Format("Queue file %s cannot be read: %s", name.c_str(), e.Message().c_str()));
    return TEnvelopeStatus::Unreadable;
  }
  size_t messageStart = 0;
  std::string reason;
  // head holds the envelope only when its length fitted the file; otherwise just the length,
  // which ParseQueueFile then finds beyond the bytes it was given.
  if (!ParseQueueFile(head, envelope, messageStart, reason)) {
    MoveQueueFileAside(folders, name, reason);
    return TEnvelopeStatus::Bad;
  }
  return TEnvelopeStatus::Ok;
}

bool ReadEnvelope(const TMailFolders& folders, const std::string& name, std::string& helo, std::string& reversePath,
                  std::vector<std::string>& recipients, int& accountNo) {
  TEnvelope envelope;
  if (ReadEnvelope(folders, name, envelope) != TEnvelopeStatus::Ok) return false;
  helo = envelope.helo;
  reversePath = envelope.reversePath;
  accountNo = envelope.accountNo;
  recipients.insert(recipients.end(), envelope.recipients.begin(), envelope.recipients.end());
  return true;
}

std::string ReadQueueMessage(const TMailFolders& folders, const std::string& name) {
  platform::TFileStream file(folders.QueueFileName(name), platform::fmOpenRead);
  SkipEnvelope(file);
  return StreamRest(file);
}

std::string ReadQueueMessageHead(const TMailFolders& folders, const std::string& name, size_t limit) {
  platform::TFileStream file(folders.QueueFileName(name), platform::fmOpenRead);
  SkipEnvelope(file);
  const int64_t rest = file.Size() - file.Position();
  std::string head(static_cast<size_t>(std::min<int64_t>(rest, static_cast<int64_t>(limit))), '\0');
  head.resize(file.Read(head.data(), head.size()));
  return head;
}

TPieceSend SendStreamInPieces(platform::TStream& stream, core::TTCPBuffer& buffer,
                              const std::function<bool()>& flush) {
  constexpr size_t kPiece = 64 * 1024;
  std::string piece(kPiece, '\0');
  std::string stuffed;
  stuffed.reserve(2 * kPiece);
  bool atLineStart = true;
  bool previousCR = false;
  int64_t total = 0;
  for (;;) {
    size_t n = 0;
    try {
      n = stream.Read(piece.data(), piece.size());
    } catch (const platform::Exception&) {
      return TPieceSend::Unreadable;
    }
    if (n == 0) break;
    total += static_cast<int64_t>(n);
    stuffed.clear();
    for (size_t i = 0; i < n; ++i) {
      const char c = piece[i];
      if (atLineStart && c == '.') stuffed += '.';
      stuffed += c;
      atLineStart = previousCR && c == '\n';
      previousCR = c == '\r';
    }
    buffer.AddText(stuffed);
    if (!flush()) return TPieceSend::Unsent;
  }
  buffer.AddText(total == 0 ? ".\r\n" : "\r\n.\r\n");
  return flush() ? TPieceSend::Sent : TPieceSend::Unsent;
}

TPieceSend SendQueueFileInPieces(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer,
                                 const std::function<bool()>& flush) {
  std::unique_ptr<platform::TFileStream> file;
  try {
    std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
    file = std::make_unique<platform::TFileStream>(folders.QueueFileName(name), platform::fmOpenRead);
    SkipEnvelope(*file);
  } catch (const platform::Exception& e) {
    core::LogErrorText(platform::Format("Queue file %s cannot be sent: %s", name.c_str(), e.Message().c_str()));
    return TPieceSend::Unreadable;
  }
  const TPieceSend sent = SendStreamInPieces(*file, buffer, flush);
  if (sent == TPieceSend::Unreadable) {
    core::LogErrorText(platform::Format("Queue file %s could not be read to its end", name.c_str()));
  }
  return sent;
}

bool SendQueueFile(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer) {
  std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
  try {
    platform::TFileStream file(folders.QueueFileName(name), platform::fmOpenRead);
    SkipEnvelope(file);
    if (buffer.LoadFromStreamStuffed(file) == 0) buffer.AddText(".\r\n");
    return true;
  } catch (const platform::Exception& e) {
    core::LogErrorText(platform::Format("Queue file %s cannot be sent: %s", name.c_str(), e.Message().c_str()));
    return false;
  }
}

bool DeleteQueueFile(const TMailFolders& folders, const std::string& name) {
  std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
  return platform::RemoveFile(folders.QueueFileName(name)) == 0;
}

std::vector<bool> DeleteQueueFiles(const TMailFolders& folders, const std::vector<std::string>& names,
                                   const std::function<void(size_t)>& afterEach) {
  std::vector<char> gone(names.size(), 0);  // not vector<bool>: tasks write neighbouring entries
  std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
  const std::string spares = folders.queue + kSpareSubfolder;
  RunSideBySide(names.size(), [&](size_t i) {
    gone[i] = RetireFile(folders.QueueFileName(names[i]), spares);
    if (gone[i] && afterEach) afterEach(i);
  });
  return std::vector<bool>(gone.begin(), gone.end());
}

bool MoveQueueFileAside(const TMailFolders& folders, const std::string& name, const std::string& reason) {
  std::lock_guard<platform::TCriticalSection> guard(QueueFolderLock());
  bool moved = false;
  try {
    EnsureFolder(folders.BadQueueFolder());
    moved = platform::RenamePath(folders.QueueFileName(name), folders.BadQueueFolder() + name) == 0;
  } catch (const platform::Exception&) {
    moved = false;
  }
  core::LogErrorText(platform::Format("Queue file %s %s: %s", name.c_str(),
                                      moved ? "moved to the bad queue folder" : "could not be moved aside",
                                      reason.c_str()));
  return moved;
}

bool ScanQueueFolder(const TMailFolders& folders, std::vector<std::string>& names) {
  std::vector<std::string> found;
  if (platform::ListRegularFiles(folders.queue, true, found) != 0 && found.empty()) return false;
  std::unordered_set<std::string> known(names.begin(), names.end());
  const size_t before = names.size();
  bool any = false;
  for (const std::string& name : found) {
    if (name[0] == '.') continue;
    any = true;
    if (known.insert(name).second) names.push_back(name);
  }
  // Names begin with the day and time, so this takes new files up oldest first.
  std::sort(names.begin() + static_cast<std::ptrdiff_t>(before), names.end());
  return any;
}

}  // namespace tovenmarsh::mail
