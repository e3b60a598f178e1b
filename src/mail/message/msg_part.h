// One MIME part of a mail message (or the message's main part): its eight content headers,
// the codes resolved from them through the fixed tables, and its decoded content.
//
// The part promises that after Resolve every code is set and the content-type, transfer-encoding
// and disposition texts are filled. In rendering mode GetHeader gives the text to write after a
// header's name when the part is saved; otherwise the raw field.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/message/mime_types.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

// Splits a header block into its logical lines: CR LF is appended, folded lines (CR LF followed
// by a TAB or a blank) are joined with one blank, and each line up to its CR LF is passed on.
// Linear in the block's size.
template <typename Visit>
void ForEachHeaderLine(std::string_view block, Visit visit);

class TMsgPart {
 public:
  TMsgPart() = default;
  virtual ~TMsgPart() = default;
  TMsgPart(const TMsgPart&) = delete;
  TMsgPart& operator=(const TMsgPart&) = delete;

  // Field i (1..8, see PartHeader); in rendering mode the text to write after its name.
  std::string GetHeader(int i) const;
  // Stores the trimmed value in field i (1..8); other indexes are ignored.
  void SetHeader(int i, std::string_view value);

  // Reads the known part headers of a header block, splits the name, charset, boundary and file
  // name parameters out of Content-Type and Content-Disposition, and resolves. Always true.
  bool ParseHeaders(std::string_view block);
  // Completes the codes and texts from the tables. A transfer encoding that names none of the
  // five leaves the content undecoded (8bit), whatever the type's row says.
  void Resolve();

  // The content as text for a text part with content; "" otherwise.
  std::string GetText() const;
  // Clears the part and makes it a text/plain part holding text.
  void SetText(std::string_view text);
  // Takes the stream from its position to its end as content, typed by the file extension.
  void LoadContent(platform::TStream& stream, std::string_view extension);
  // Empties the content and resets codes, rows and all eight fields.
  void Clear();

  int Index() const { return index_; }
  void SetIndex(int index) { index_ = index; }
  platform::TMemoryStream& Content() { return content_; }
  const platform::TMemoryStream& Content() const { return content_; }
  bool Rendering() const { return rendering_; }
  void SetRendering(bool on) { rendering_ = on; }
  // Where the content lay in the raw message: 1-based, inclusive; 0/0 when it came from nowhere.
  int64_t ContentStart() const { return contentStart_; }
  int64_t ContentEnd() const { return contentEnd_; }
  void SetContentRange(int64_t start, int64_t end) {
    contentStart_ = start;
    contentEnd_ = end;
  }
  int Depth() const { return depth_; }
  void SetDepth(int depth) { depth_ = depth; }

  const std::string& ContentType() const { return fields_[phContentType - 1]; }
  const std::string& Name() const { return fields_[phName - 1]; }
  const std::string& Charset() const { return fields_[phCharset - 1]; }
  const std::string& TransferEncoding() const { return fields_[phTransferEncoding - 1]; }
  const std::string& Description() const { return fields_[phDescription - 1]; }
  const std::string& Disposition() const { return fields_[phDisposition - 1]; }
  const std::string& FileName() const { return fields_[phFileName - 1]; }
  const std::string& Boundary() const { return fields_[phBoundary - 1]; }

  // nullptr until resolved.
  const TMimeType* TypeRow() const { return typeRow_; }
  // The multipart kind (meaningful when the part has a boundary).
  uint8_t MultipartKindCode() const { return multipartKind_; }
  uint8_t EncodingCode() const { return encoding_; }
  uint8_t DispositionCode() const { return disposition_; }
  const std::string& Extension() const { return extension_; }
  bool IsTextPart() const { return typeRow_ != nullptr && typeRow_->extension == "txt"; }

 private:
  int index_ = 0;
  platform::TMemoryStream content_;
  bool rendering_ = false;
  int64_t contentStart_ = 0;
  int64_t contentEnd_ = 0;
  std::array<std::string, kPartHeaderCount> fields_;
  const TMimeType* typeRow_ = nullptr;
  uint8_t multipartKind_ = mpMixed;
  uint8_t encoding_ = enc8bit;
  uint8_t disposition_ = dispInline;
  std::string extension_;
  int depth_ = 0;
};

// ---- implementation of the template above

std::string_view TrimHeaderText(std::string_view text);
std::string UnfoldHeaderBlock(std::string_view block);

template <typename Visit>
void ForEachHeaderLine(std::string_view block, Visit visit) {
  const std::string unfolded = UnfoldHeaderBlock(block);
  const std::string_view text = unfolded;
  size_t pos = 0;
  for (;;) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) break;
    visit(text.substr(pos, end - pos));
    pos = end + 2;
  }
}

}  // namespace tovenmarsh::mail
