// The mail message: header table, loading with a stack of boundaries, saving with a new
// boundary, and the header lines around queued messages (contract in mail_message.h).
#include "mail/message/mail_message.h"

#include <chrono>
#include <random>

#include "core/date_utils.h"
#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "mail/message/mime_codecs.h"
#include "platform/format.h"
#include "platform/tick.h"

namespace tovenmarsh::mail {
namespace {

constexpr std::string_view kCRLF = "\r\n";

// A line that starts with "--" + boundary, optionally "--" (closing), then only blanks or TABs
// up to the line end. Stricter than a substring search: a boundary that merely begins a longer
// delimiter (an inner boundary that extends an outer one) or occurs inside content is no match.
bool MatchDelimiter(std::string_view text, size_t dash, std::string_view boundary, bool& closing) {
  size_t p = dash + 2;
  if (text.size() - p < boundary.size() || text.compare(p, boundary.size(), boundary) != 0) return false;
  p += boundary.size();
  closing = text.compare(p, 2, "--") == 0;
  if (closing) p += 2;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  return p == text.size() || text[p] == '\r' || text[p] == '\n';
}

// Where a part's content ends: before the line break that precedes its delimiter line (or the
// end of the text, when the closing delimiter is missing: that break would have been its).
size_t ContentEndBefore(std::string_view text, size_t dash, size_t begin) {
  size_t end = dash;
  if (end > 0 && text[end - 1] == '\n') --end;
  if (end > 0 && text[end - 1] == '\r') --end;
  return end < begin ? begin : end;
}

// Where the header block of a part that starts after the delimiter line ending at lineEnd (its
// CR LF) ends: at the first blank line (its position is returned), or, when a delimiter line of
// an open multipart comes first (RFC 2046 allows a part of headers only), nowhere (npos) with
// that delimiter's "--" in nextDash. One pass over the block's lines.
size_t HeaderBlockEnd(std::string_view text, size_t lineEnd, const std::vector<std::string>& stack,
                      size_t& nextDash) {
  nextDash = std::string_view::npos;
  for (size_t nl = lineEnd + 1; nl < text.size(); nl = text.find('\n', nl + 1)) {
    if (text[nl - 1] == '\r' && text.compare(nl + 1, 2, kCRLF) == 0) return nl - 1;
    if (text.compare(nl + 1, 2, "--") != 0) continue;
    bool closing = false;
    for (const std::string& boundary : stack) {
      if (MatchDelimiter(text, nl + 1, boundary, closing)) {
        nextDash = nl + 1;
        return std::string_view::npos;
      }
    }
  }
  return std::string_view::npos;
}

void SetRange(TMsgPart& part, size_t begin, size_t end) {
  // 1-based and inclusive, as positions in the raw message are kept.
  part.SetContentRange(static_cast<int64_t>(begin) + 1, static_cast<int64_t>(end));
}

void DecodeContent(std::string_view encoded, TMsgPart& part) {
  auto& content = part.Content();
  switch (part.EncodingCode()) {
    case encBase64: Base64Decode(encoded, content); break;
    case encQuotedPrintable: QPDecode(encoded, content); break;
    case encUUEncoded: UUDecode(encoded, content); break;
    default: content.WriteString(encoded); break;
  }
  content.SetPosition(0);
}

void EncodeContent(TMsgPart& part, platform::TStream& out) {
  const std::string& bytes = part.Content().Bytes();
  switch (part.EncodingCode()) {
    case encBase64: Base64Encode(bytes, out, kBase64LineLength); break;
    case encQuotedPrintable: QPEncode(bytes, out, kQPLineLength); break;
    case encUUEncoded: UUEncode(bytes, out, kUULineLength); break;
    default: out.WriteString(bytes); break;
  }
}

// The content headers of a part as the writer renders them, each "Name: value" CR LF.
std::string RenderedHeaders(TMsgPart& part) {
  std::string block;
  part.SetRendering(true);
  for (int i = 1; i <= kPartHeaderCount; ++i) {
    const std::string value = part.GetHeader(i);
    if (value.empty()) continue;
    block.append(PartHeaderName(i)).append(": ").append(value).append(kCRLF);
  }
  part.SetRendering(false);
  return block;
}

// Passes writes on and remembers the last two bytes, so the writer knows whether the message
// already ends with a line break before the end-of-data line.
class TailStream : public platform::TStream {
 public:
  explicit TailStream(platform::TStream& target) : target_(target) {}
  size_t Read(void* buffer, size_t count) override { return target_.Read(buffer, count); }
  size_t Write(const void* buffer, size_t count) override {
    const size_t written = target_.Write(buffer, count);
    const char* bytes = static_cast<const char*>(buffer);
    for (size_t i = written > 2 ? written - 2 : 0; i < written; ++i) {
      tail_[0] = tail_[1];
      tail_[1] = bytes[i];
    }
    return written;
  }
  int64_t Seek(int64_t offset, platform::SeekOrigin origin) override { return target_.Seek(offset, origin); }
  void SetSize(int64_t size) override { target_.SetSize(size); }
  bool EndsWithLineBreak() const { return tail_[0] == '\r' && tail_[1] == '\n'; }

 private:
  platform::TStream& target_;
  char tail_[2] = {0, 0};
};

std::string Hex(uint32_t value, int digits) { return platform::Format("%0*X", digits, value); }

}  // namespace

std::string TMailMessage::GetHeader(int i) const {
  if (!HeaderHasStorage(i)) return {};
  return headers_[static_cast<size_t>(i - 1)];
}

void TMailMessage::SetHeader(int i, std::string_view value) {
  if (!HeaderHasStorage(i)) return;
  headers_[static_cast<size_t>(i - 1)] = std::string(TrimHeaderText(value));
}

TMsgPart& TMailMessage::Part(int i) {
  if (i < 0 || i >= PartCount()) throw EMimeError("MsgPart range overflow");
  return *parts_[static_cast<size_t>(i)];
}

const TMsgPart& TMailMessage::Part(int i) const {
  if (i < 0 || i >= PartCount()) throw EMimeError("MsgPart range overflow");
  return *parts_[static_cast<size_t>(i)];
}

TMsgPart& TMailMessage::AddPart() {
  parts_.push_back(std::make_unique<TMsgPart>());
  parts_.back()->SetIndex(PartCount());
  return *parts_.back();
}

TMsgPart& TMailMessage::AddAttachment(platform::TStream& stream, std::string_view extension) {
  TMsgPart& part = AddPart();
  part.LoadContent(stream, extension);
  return part;
}

void TMailMessage::ClearHeaders() {
  // The main part's headers go; its content stays with the parts.
  platform::TMemoryStream keep;
  keep.WriteString(mainPart_.Content().Bytes());
  mainPart_.Clear();
  mainPart_.Content().WriteString(keep.Bytes());
  mainPart_.Content().SetPosition(0);
  for (auto& header : headers_) header.clear();
  xHeaders_.clear();
}

void TMailMessage::ClearParts() {
  mainPart_.Content().Clear();
  parts_.clear();
}

void TMailMessage::Clear() {
  mainPart_.Clear();
  for (auto& header : headers_) header.clear();
  xHeaders_.clear();
  parts_.clear();
}

bool TMailMessage::ParseHeaders(std::string_view block) {
  if (block.empty()) return false;
  ForEachHeaderLine(block, [this](std::string_view line) {
    const size_t colon = line.find(':');
    if (line.substr(0, 2) == "X-") {
      if (xHeaders_.size() >= kMaxXHeaders) return;
      const std::string_view name = colon == std::string_view::npos ? line : line.substr(0, colon);
      const std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
      std::string entry(TrimHeaderText(name));
      entry.push_back('=');
      entry.append(TrimHeaderText(value));
      xHeaders_.push_back(std::move(entry));
      return;
    }
    if (colon == std::string_view::npos) return;
    const int index = FindHeader(line.substr(0, colon));
    if (index > 0) SetHeader(index, line.substr(colon + 1));
  });
  return true;
}

std::string TMailMessage::GetBodyText() const {
  std::string text = mainPart_.GetText();
  for (const auto& part : parts_) {
    const std::string partText = part->GetText();
    if (partText.empty()) continue;
    text.append("\r\n\r\n").append(partText);
  }
  return text;
}

void TMailMessage::SetBodyText(std::string_view text) { mainPart_.SetText(text); }

std::string TMailMessage::TopText(int n) const {
  if (n <= 0) return {};
  const std::string body = GetBodyText();
  size_t end = std::string::npos;
  for (size_t pos = 0; n > 0; --n) {
    const size_t found = body.find(kCRLF, pos);
    if (found == std::string::npos) break;
    end = found + 2;
    pos = end;
  }
  return end == std::string::npos ? std::string() : body.substr(0, end);
}

void TMailMessage::LoadFromStream(platform::TStream& stream) {
  const std::string text = core::StreamToText(stream);
  Clear();
  const size_t headerEnd = text.find("\r\n\r\n");
  const std::string_view all = text;
  const std::string_view headerBlock = headerEnd == std::string::npos ? all : all.substr(0, headerEnd);
  if (headerBlock.empty()) return;
  ParseHeaders(headerBlock);
  mainPart_.ParseHeaders(headerBlock);
  const size_t bodyStart = headerEnd == std::string::npos ? text.size() : headerEnd + 4;

  if (mainPart_.Boundary().empty()) {
    SetRange(mainPart_, bodyStart, text.size());
    DecodeContent(all.substr(bodyStart), mainPart_);
    return;
  }
  SplitParts(text, bodyStart);
  for (auto& part : parts_) {
    if (part->ContentStart() == 0) continue;  // a multipart: its parts hold the content
    const auto begin = static_cast<size_t>(part->ContentStart() - 1);
    const auto end = static_cast<size_t>(part->ContentEnd());
    DecodeContent(all.substr(begin, end - begin), *part);
  }
}

// Walks the delimiter lines once from the body start. The stack holds the boundaries of the
// open multiparts (the main one at level 0); a delimiter of any level on the stack ends the
// open part and every deeper multipart, so one missing closing delimiter loses nothing after it.
void TMailMessage::SplitParts(const std::string& textString, size_t bodyStart) {
  const std::string_view text = textString;
  std::vector<std::string> stack = {mainPart_.Boundary()};
  TMsgPart* open = nullptr;
  size_t openBegin = 0;
  size_t pos = bodyStart;
  while (!stack.empty() && pos < text.size()) {
    // The next line that begins with "--" (the body start is a line start).
    size_t dash;
    if (pos == bodyStart && text.compare(pos, 2, "--") == 0) {
      dash = pos;
    } else {
      const size_t found = text.find("\n--", pos - 1);
      if (found == std::string_view::npos) break;
      dash = found + 1;
    }
    int level = -1;
    bool closing = false;
    for (int l = static_cast<int>(stack.size()) - 1; l >= 0; --l) {
      if (MatchDelimiter(text, dash, stack[static_cast<size_t>(l)], closing)) {
        level = l;
        break;
      }
    }
    if (level < 0) {
      pos = dash + 2;
      continue;
    }
    if (!closing && parts_.size() >= kMaxMimeParts) break;  // the open part keeps the rest
    if (open != nullptr) {
      SetRange(*open, openBegin, ContentEndBefore(text, dash, openBegin));
      open = nullptr;
    }
    stack.resize(static_cast<size_t>(level) + 1);
    const size_t after = dash + 2 + stack.back().size();
    if (text.size() - after < 2) break;
    if (closing) {
      stack.pop_back();
      pos = after + 2;
      continue;
    }
    const size_t lineEnd = text.find(kCRLF, after);
    if (lineEnd == std::string_view::npos) break;
    const size_t headerBegin = lineEnd + 2;
    size_t nextDash = std::string_view::npos;
    const size_t blank = HeaderBlockEnd(text, lineEnd, stack, nextDash);
    const size_t headerEnd = blank != std::string_view::npos ? blank
                             : nextDash != std::string_view::npos ? ContentEndBefore(text, nextDash, headerBegin)
                                                                  : text.size();
    TMsgPart& part = AddPart();
    part.SetDepth(level);
    part.ParseHeaders(headerEnd > headerBegin ? text.substr(headerBegin, headerEnd - headerBegin)
                                              : std::string_view());
    if (nextDash != std::string_view::npos) {
      // Headers without a body: the part is empty and the delimiter is read next round.
      if (!part.Boundary().empty() && stack.size() < static_cast<size_t>(kMaxMimeDepth)) {
        stack.push_back(part.Boundary());
      } else {
        SetRange(part, nextDash, nextDash);
      }
      pos = nextDash;
      continue;
    }
    if (blank == std::string_view::npos) break;
    const size_t contentBegin = blank + 4;
    if (!part.Boundary().empty() && stack.size() < static_cast<size_t>(kMaxMimeDepth)) {
      stack.push_back(part.Boundary());
    } else {
      open = &part;
      openBegin = contentBegin;
      SetRange(part, contentBegin, ContentEndBefore(text, text.size(), contentBegin));
    }
    pos = contentBegin;
  }
}

void TMailMessage::WritePart(platform::TStream& stream, TMsgPart& part, const std::string& delimiter) {
  std::string head = delimiter;
  head.append(kCRLF).append(RenderedHeaders(part)).append(kCRLF);
  stream.WriteString(head);
  EncodeContent(part, stream);
  stream.WriteString(kCRLF);
}

void TMailMessage::SaveToStream(platform::TStream& target) {
  TailStream stream(target);
  const bool multipart = !parts_.empty();
  std::string delimiter;
  if (multipart) {
    SetHeader(hdrMIMEVersion, "1.0");
    mainPart_.SetHeader(phBoundary, NewBoundary());
    mainPart_.Resolve();
    delimiter = "--" + mainPart_.Boundary();
  }
  std::string head;
  for (int i = 1; i <= kHeaderCount; ++i) {
    const std::string value = GetHeader(i);
    if (!value.empty()) head.append(HeaderName(i)).append(": ").append(value).append(kCRLF);
  }
  for (const auto& entry : xHeaders_) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      head.append(entry).append(": ").append(kCRLF);
    } else {
      head.append(entry, 0, equals).append(": ").append(entry, equals + 1).append(kCRLF);
    }
  }
  // The main part's content headers go out in both forms: a single-part body is written in its
  // transfer encoding, so a reader needs them to decode it.
  head.append(RenderedHeaders(mainPart_)).append(kCRLF);

  if (multipart) {
    head.append("This is a message in MIME format.\r\n\r\n");
    stream.WriteString(head);
    if (mainPart_.Content().Size() > 0) {
      TMsgPart text;
      text.SetText(mainPart_.Content().Bytes());
      WritePart(stream, text, delimiter);
    }
    const bool alternative = mainPart_.ContentType() == MultipartContentType(mpAlternative);
    for (auto& part : parts_) {
      if (alternative) part->SetHeader(phDisposition, "");
      WritePart(stream, *part, delimiter);
    }
    stream.WriteString(delimiter + "--");
  } else {
    stream.WriteString(head);
    EncodeContent(mainPart_, stream);
  }
  // The stream ends with CR LF "." CR LF; a body that ends with its own line break lends it.
  stream.WriteString(stream.EndsWithLineBreak() ? ".\r\n" : "\r\n.\r\n");
}

std::string ReturnPathLine(std::string_view address) {
  return "Return-Path: <" + std::string(address) + ">\r\n";
}

std::string ReceivedLine(std::string_view helo, std::string_view hostName, platform::TDateTime when) {
  std::string line = "Recieved: from ";
  line.append(helo).append(" by ").append(hostName).append(" with SMTP; ");
  line.append(core::DateTimeToMailZoneStr(when)).append(kCRLF);
  return line;
}

std::string ReceivedLine(std::string_view helo) {
  return ReceivedLine(helo, core::SystemParameters().HostName(), platform::Now());
}

std::string BounceText(const TMailMessage& message, std::string_view forwardPath) {
  std::string text = "Your message :\r\nTo: ";
  text.append(message.GetHeader(hdrTo));
  text.append("\r\nSubject: ").append(message.GetHeader(hdrSubject));
  text.append("\r\nDate: ").append(message.GetHeader(hdrDate));
  text.append("\r\n\r\nTo Recipient(s): \r\nForwardPath : ").append(forwardPath);
  text.append("\r\n\r\n, did not reach its destination");
  return text;
}

std::string NewBoundary() {
  const platform::TDateTime now = platform::Now();
  const double day = static_cast<double>(static_cast<int64_t>(now));
  // Reseeded on every call, from the clock as well as the system's entropy.
  std::mt19937 generator(static_cast<uint32_t>(std::random_device{}()) ^
                         static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const auto random = static_cast<uint32_t>(std::uniform_int_distribution<uint32_t>(0, 65534)(generator));
  return "----_=_tovenmarsh_" + Hex(static_cast<uint32_t>(static_cast<int64_t>(day)), 8) + "_" +
         Hex(static_cast<uint32_t>((now - day) * 10000), 8) + "_" + Hex(platform::GetTickCount(), 8) + "." +
         Hex(random, 4);
}

}  // namespace tovenmarsh::mail
