// An Internet mail message in memory: the 29 known headers (three of them storage-less), the
// "X-" headers as name=value lines, a main part with the message's own content headers and
// body, and the list of MIME parts in the order they appear (nested multiparts flattened, each
// part knowing its depth).
//
// Loading never raises for odd input: unknown lines are dropped, a missing closing delimiter
// leaves the last part open to the end of the text, and an enclosing boundary ends an inner
// multipart. It stays linear in the size of the message: nesting, part count and the number of
// X- headers are bounded (beyond the bounds a nested multipart is kept as one opaque part, the
// last part runs to the end, extra X- headers are dropped). Saving writes a raw message with a
// new boundary and ends with the SMTP end-of-data line.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/message/mime_error.h"
#include "mail/message/msg_part.h"
#include "platform/date_time.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

inline constexpr int kMaxMimeDepth = 32;       // nesting levels of multipart boundaries
inline constexpr size_t kMaxMimeParts = 10000;  // parts of one message
inline constexpr size_t kMaxXHeaders = 1000;    // X- header lines kept

class TMailMessage {
 public:
  TMailMessage() = default;
  virtual ~TMailMessage() = default;
  TMailMessage(const TMailMessage&) = delete;
  TMailMessage& operator=(const TMailMessage&) = delete;

  // Header 1..29 (see MailHeader); "" for the storage-less ones and outside the range.
  std::string GetHeader(int i) const;
  // Stores the trimmed value; ignored for 11, 13, 14 and outside the range.
  void SetHeader(int i, std::string_view value);

  TMsgPart& MainPart() { return mainPart_; }
  const TMsgPart& MainPart() const { return mainPart_; }
  int PartCount() const { return static_cast<int>(parts_.size()); }
  // 0-based; raises EMimeError "MsgPart range overflow" outside 0..PartCount()-1.
  TMsgPart& Part(int i);
  const TMsgPart& Part(int i) const;
  // A new empty part at the end of the list.
  TMsgPart& AddPart();
  // A new part holding the stream from its position to its end, typed by the extension.
  TMsgPart& AddAttachment(platform::TStream& stream, std::string_view extension);

  // "name=value" lines.
  const std::vector<std::string>& XHeaders() const { return xHeaders_; }
  std::vector<std::string>& XHeaders() { return xHeaders_; }

  void ClearHeaders();  // the main part's headers, the 29 headers and the X list
  void ClearParts();    // the main content and every part
  void Clear();

  // Stores the known headers and X- lines of a header block; false for an empty block.
  bool ParseHeaders(std::string_view block);

  // The main part's text, then CR LF CR LF and the text of every text part that has one.
  std::string GetBodyText() const;
  void SetBodyText(std::string_view text);
  // The body text up to and including its n-th CR LF (or its last one when it has fewer); ""
  // when it has none or n <= 0.
  std::string TopText(int n) const;

  void LoadFromStream(platform::TStream& stream);
  void SaveToStream(platform::TStream& stream);

 private:
  void SplitParts(const std::string& text, size_t bodyStart);
  void WritePart(platform::TStream& stream, TMsgPart& part, const std::string& delimiter);

  std::array<std::string, kHeaderCount> headers_;
  TMsgPart mainPart_;
  std::vector<std::unique_ptr<TMsgPart>> parts_;
  std::vector<std::string> xHeaders_;
};

// "Return-Path: <address>" CR LF.
std::string ReturnPathLine(std::string_view address);
// "Recieved: from <helo> by <host> with SMTP; <date and zone>" CR LF, with this host's name and
// the time now; the second form takes both from the caller.
std::string ReceivedLine(std::string_view helo);
std::string ReceivedLine(std::string_view helo, std::string_view hostName, platform::TDateTime when);
// The text of a bounce for message, naming the forward path that failed.
std::string BounceText(const TMailMessage& message, std::string_view forwardPath);
// "----_=_tovenmarsh_" and hexadecimal groups of the date, the tick count and a random number.
std::string NewBoundary();

}  // namespace tovenmarsh::mail
