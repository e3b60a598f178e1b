// The fixed lookup tables of the message model: the 29 known header names (their spellings,
// "Recieved" included, are what stored files and peers see), the eight part headers, the
// transfer encodings, dispositions and multipart kinds, and the 25-row extension table that maps
// file extensions and content types to a content type, charset, encoding and disposition.
// Names compare ignoring ASCII case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovenmarsh::mail {

// ---- message headers, 1..29
inline constexpr int kHeaderCount = 29;
enum MailHeader : int {
  hdrReturnPath = 1,
  hdrReceived = 2,  // spelt "Recieved"
  hdrReplyTo = 3,
  hdrFrom = 4,
  hdrTo = 5,
  hdrCc = 6,
  hdrBcc = 7,
  hdrSubject = 8,
  hdrDate = 9,
  hdrMessageID = 10,
  hdrFree0 = 11,
  hdrMIMEVersion = 12,
  hdrFree1 = 13,
  hdrFree2 = 14,
  hdrSender = 15,
  hdrResentFrom = 16,
  hdrSender2 = 17,  // a second "Sender": parsing always lands in 15
  hdrResentReplyTo = 18,
  hdrResentDate = 19,
  hdrResentTo = 20,
  hdrResentCc = 21,
  hdrResentBcc = 22,
  hdrResentMessageID = 23,
  hdrInReplyTo = 24,
  hdrReferences = 25,
  hdrKeywords = 26,
  hdrOrganization = 27,
  hdrComments = 28,
  hdrEncrypted = 29,
};
// The name of header 1..29; "" outside.
std::string_view HeaderName(int index);
// The first header whose name equals name ignoring case; 0 when none.
int FindHeader(std::string_view name);
// False for the three free slots (11, 13, 14), whose lines are read and dropped.
bool HeaderHasStorage(int index);

// ---- part headers, 1..8 (2, 3, 7 and 8 are parameters inside other headers)
inline constexpr int kPartHeaderCount = 8;
enum PartHeader : int {
  phContentType = 1,
  phName = 2,
  phCharset = 3,
  phTransferEncoding = 4,
  phDescription = 5,
  phDisposition = 6,
  phFileName = 7,
  phBoundary = 8,
};
std::string_view PartHeaderName(int index);
int FindPartHeader(std::string_view name);

// ---- transfer encodings, dispositions, multipart kinds
enum Encoding : uint8_t { enc8bit = 0, enc7bit = 1, encBase64 = 2, encQuotedPrintable = 3, encUUEncoded = 4 };
inline constexpr int kEncodingCount = 5;
std::string_view EncodingName(int code);
// The code of an encoding name ignoring case; -1 when it names none.
int FindEncoding(std::string_view name);

enum Disposition : uint8_t { dispInline = 0, dispAttachment = 1 };
std::string_view DispositionName(int code);

enum MultipartKind : uint8_t { mpMixed = 0, mpParallel = 1, mpAlternative = 2, mpDigest = 3 };
inline constexpr int kMultipartKindCount = 4;
std::string_view MultipartContentType(int code);
// The kind of a content type ignoring case; unknown kinds count as mixed.
int FindMultipartKind(std::string_view contentType);

// ---- extension table
struct TMimeType {
  int row;  // 1..25
  std::string_view extension;
  std::string_view contentType;
  std::string_view charset;  // "" when the row names none
  uint8_t encoding;
  uint8_t disposition;
};
inline constexpr int kMimeTypeCount = 25;
inline constexpr int kDefaultMimeTypeRow = 25;  // application/octet-stream, "bin"
inline constexpr int kTextMimeTypeRow = 1;      // text/plain, "txt"

const TMimeType& MimeTypeRow(int row);  // 1..25; others give the default row
// First row whose extension / content type equals the text ignoring case; nullptr when none.
const TMimeType* FindMimeTypeByExtension(std::string_view extension);
const TMimeType* FindMimeTypeByContentType(std::string_view contentType);
// The same, falling back to the default row.
const TMimeType& MimeTypeByExtension(std::string_view extension);
const TMimeType& MimeTypeByContentType(std::string_view contentType);
// The lower-cased extension when it is one of the table's; "" otherwise.
std::string FindMimeExtension(std::string_view extension);

// ASCII case-insensitive equality and lower-casing, as the tables compare.
bool SameTextAscii(std::string_view a, std::string_view b);
std::string LowerAscii(std::string_view text);

}  // namespace tovenmarsh::mail
