// A MIME part: header parsing, resolution through the tables, rendering and content
// (contract in msg_part.h).
#include "mail/message/msg_part.h"

#include <algorithm>

#include "core/str_utils.h"
#include "mail/message/mime_codecs.h"

namespace tovenmarsh::mail {
namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// The position of the next ";" that is not inside a quoted string (or the end).
size_t NextSemicolon(std::string_view text, size_t pos) {
  bool quoted = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (quoted && c == '\\') {
      ++pos;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      break;
    }
  }
  return pos;
}

// A parameter of Content-Type / Content-Disposition: after the first token come
// ";"-separated attribute=value pairs (RFC 2045 5.1). The attribute is matched, ignoring case,
// only where a parameter begins, so a word inside another parameter's value or quoted text
// ("name=\"boundary.txt\"") is no parameter. A quoted value runs to its closing quote (\\ and
// \" stand for themselves); an unquoted one to the next ";" or quote and is trimmed. A line
// break ends either, so no value carries one into a header we write. First occurrence wins.
std::string Parameter(std::string_view headerValue, std::string_view word) {
  size_t pos = NextSemicolon(headerValue, 0);
  while (pos < headerValue.size()) {
    ++pos;  // the ";"
    const size_t equals = headerValue.find_first_of("=;", pos);
    const bool hasValue = equals != std::string_view::npos && headerValue[equals] == '=';
    const size_t nameEnd = hasValue ? equals : NextSemicolon(headerValue, pos);
    if (!SameTextAscii(TrimHeaderText(headerValue.substr(pos, nameEnd - pos)), word)) {
      pos = NextSemicolon(headerValue, pos);  // from the start, where no quote is open
      continue;
    }
    if (!hasValue) return {};
    size_t p = equals + 1;
    while (p < headerValue.size() && (headerValue[p] == ' ' || headerValue[p] == '\t')) ++p;
    if (p < headerValue.size() && headerValue[p] == '"') {
      std::string value;
      for (++p; p < headerValue.size() && headerValue[p] != '"' && !IsLineBreak(headerValue[p]); ++p) {
        if (headerValue[p] == '\\' && p + 1 < headerValue.size() &&
            (headerValue[p + 1] == '"' || headerValue[p + 1] == '\\')) {
          ++p;
        }
        value.push_back(headerValue[p]);
      }
      return value;
    }
    const size_t end = std::min(headerValue.find_first_of("\";\r\n", p), headerValue.size());
    return std::string(TrimHeaderText(headerValue.substr(p, end - p)));
  }
  return {};
}

// The first token of a header value (up to the first ";" or blank).
std::string_view FirstToken(std::string_view value) {
  const size_t end = value.find_first_of("; ");
  return end == std::string_view::npos ? value : value.substr(0, end);
}

std::string Quoted(std::string_view text) {
  std::string result = "\"";
  result.append(text);
  result.push_back('"');
  return result;
}

}  // namespace

std::string_view TrimHeaderText(std::string_view text) {
  // Trims blanks and control characters, as the class library's Trim does.
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

std::string UnfoldHeaderBlock(std::string_view block) {
  std::string text(block);
  text += "\r\n";
  return core::ReplaceAll(core::ReplaceAll(text, "\r\n\t", " ", false), "\r\n ", " ", false);
}

std::string TMsgPart::GetHeader(int i) const {
  if (i < 1 || i > kPartHeaderCount) return {};
  if (!rendering_) return fields_[static_cast<size_t>(i - 1)];
  const bool multipart = !Boundary().empty();
  switch (i) {
    case phContentType: {
      std::string value = ContentType();
      if (multipart) return value + "; \r\n\tboundary=" + Quoted(Boundary());
      if (!Charset().empty()) value += "; charset=" + Quoted(Charset());
      if (!Name().empty()) value += "; name=" + Quoted(Name());
      return value;
    }
    case phTransferEncoding:
    case phDescription:
      return multipart ? std::string() : fields_[static_cast<size_t>(i - 1)];
    case phDisposition: {
      if (multipart || Disposition().empty()) return {};
      std::string value = Disposition();
      if (!FileName().empty()) value += "; \r\n\tfilename=" + Quoted(FileName());
      return value;
    }
    default:
      return {};
  }
}

void TMsgPart::SetHeader(int i, std::string_view value) {
  if (i < 1 || i > kPartHeaderCount) return;
  fields_[static_cast<size_t>(i - 1)] = std::string(TrimHeaderText(value));
}

bool TMsgPart::ParseHeaders(std::string_view block) {
  ForEachHeaderLine(block, [this](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const int index = FindPartHeader(line.substr(0, colon));
    if (index > 0) SetHeader(index, line.substr(colon + 1));
  });
  const std::string type = ContentType();
  const std::string disposition = Disposition();
  fields_[phName - 1] = Parameter(type, "name");
  fields_[phCharset - 1] = Parameter(type, "charset");
  // Delimiter lines may carry blanks after the boundary anyway, and a boundary may not end in one.
  std::string boundary = Parameter(type, "boundary");
  while (!boundary.empty() && (boundary.back() == ' ' || boundary.back() == '\t')) boundary.pop_back();
  fields_[phBoundary - 1] = std::move(boundary);
  fields_[phFileName - 1] = Parameter(disposition, "filename");
  SetHeader(phContentType, FirstToken(type));
  SetHeader(phDisposition, FirstToken(disposition));
  // What a message says by leaving headers out: text/plain in 7bit. Without this a plain
  // message or an HTML part without an encoding header would be decoded as base64 by the
  // defaults of the extension table, which are meant for attachments we encode ourselves.
  if (ContentType().empty() && Boundary().empty()) typeRow_ = &MimeTypeRow(kTextMimeTypeRow);
  if (TransferEncoding().empty()) fields_[phTransferEncoding - 1] = EncodingName(enc7bit);
  Resolve();
  return true;
}

void TMsgPart::Resolve() {
  std::string& type = fields_[phContentType - 1];
  if (!Boundary().empty()) {
    multipartKind_ = static_cast<uint8_t>(FindMultipartKind(type));
    type = std::string(MultipartContentType(multipartKind_));
  }
  if (!type.empty() || typeRow_ == nullptr) typeRow_ = &MimeTypeByContentType(type);
  if (type.empty()) type = std::string(typeRow_->contentType);

  extension_ = std::string(typeRow_->extension);
  encoding_ = typeRow_->encoding;
  std::string& encodingText = fields_[phTransferEncoding - 1];
  const int named = FindEncoding(encodingText);
  if (named >= 0) {
    encoding_ = static_cast<uint8_t>(named);
  } else if (encodingText.empty()) {
    encodingText = std::string(EncodingName(encoding_));
  } else {
    // An encoding we do not know ("binary", "x-uuencode", ...): decoding the bytes with the
    // table's codec would only destroy them, so they are kept (and written back) as they came.
    encoding_ = enc8bit;
  }

  std::string& dispositionText = fields_[phDisposition - 1];
  if (!dispositionText.empty()) {
    disposition_ = SameTextAscii(dispositionText, "inline") ? dispInline : dispAttachment;
  } else if (encoding_ == encBase64 || encoding_ == encUUEncoded || !FileName().empty()) {
    disposition_ = dispAttachment;
  } else {
    disposition_ = typeRow_->disposition;
  }
  dispositionText = std::string(DispositionName(disposition_));
}

std::string TMsgPart::GetText() const {
  if (!IsTextPart()) return {};
  return content_.Bytes();
}

void TMsgPart::SetText(std::string_view text) {
  Clear();
  content_.WriteString(text);
  content_.SetPosition(0);
  typeRow_ = &MimeTypeRow(kTextMimeTypeRow);
  Resolve();
}

void TMsgPart::LoadContent(platform::TStream& stream, std::string_view extension) {
  content_.Clear();
  CopyStream(stream, content_);
  content_.SetPosition(0);
  contentStart_ = contentEnd_ = 0;
  typeRow_ = &MimeTypeByExtension(LowerAscii(extension));
  fields_[phContentType - 1].clear();  // the extension decides the type
  fields_[phTransferEncoding - 1].clear();
  fields_[phBoundary - 1].clear();
  Resolve();
}

void TMsgPart::Clear() {
  content_.Clear();
  contentStart_ = contentEnd_ = 0;
  for (auto& field : fields_) field.clear();
  typeRow_ = nullptr;
  multipartKind_ = mpMixed;
  encoding_ = enc8bit;
  disposition_ = dispInline;
  extension_.clear();
}

}  // namespace tovenmarsh::mail
