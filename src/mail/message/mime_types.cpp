// The message model's fixed tables and their lookups (contract in mime_types.h).
#include "mail/message/mime_types.h"

#include <array>

namespace tovenmarsh::mail {
namespace {

// Spellings are part of the stored and wire format: keep them as they are.
constexpr std::array<std::string_view, kHeaderCount> kHeaderNames = {
    "Return-Path",  "Recieved",    "Reply-To",        "From",        "To",           "Cc",
    "Bcc",          "Subject",     "Date",            "Message-ID",  "Free0",        "MIME-Version",
    "Free1",        "Free2",       "Sender",          "Resent-From", "Sender",       "Resent-Reply-To",
    "Resent-Date",  "Resent-To",   "Resent-Cc",       "Resent-Bcc",  "Resent-Message-ID",
    "In-Reply-To",  "References",  "Keywords",        "Organization", "Comments",    "Encrypted",
};
static_assert(kHeaderNames[hdrReceived - 1] == "Recieved");
static_assert(kHeaderNames[hdrEncrypted - 1] == "Encrypted");
static_assert(kHeaderNames[hdrSender2 - 1] == "Sender");

constexpr std::array<std::string_view, kPartHeaderCount> kPartHeaderNames = {
    "Content-Type",        "name",     "charset", "Content-Transfer-Encoding",
    "Content-Description", "Content-Disposition", "filename", "boundary",
};

constexpr std::array<std::string_view, kEncodingCount> kEncodingNames = {"8bit", "7bit", "base64",
                                                                         "quoted-printable", "uuencoded"};
constexpr std::array<std::string_view, 2> kDispositionNames = {"inline", "attachment"};
constexpr std::array<std::string_view, kMultipartKindCount> kMultipartTypes = {
    "multipart/mixed", "multipart/parallel", "multipart/alternative", "multipart/digest"};

constexpr std::string_view kLatin1 = "ISO-8859-1";
constexpr std::array<TMimeType, kMimeTypeCount> kMimeTypes = {{
    {1, "txt", "text/plain", kLatin1, enc8bit, dispInline},
    {2, "txt", "text/txt", kLatin1, encQuotedPrintable, dispInline},
    {3, "rtf", "text/rtf", kLatin1, encQuotedPrintable, dispAttachment},
    {4, "htm", "text/htm", kLatin1, encQuotedPrintable, dispAttachment},
    {5, "html", "text/html", "", encBase64, dispAttachment},
    {6, "pdf", "application/pdf", "", encBase64, dispAttachment},
    {7, "txt", "text", "", enc7bit, dispInline},
    {8, "zip", "application/zip", "", encBase64, dispAttachment},
    {9, "doc", "application/msword", "", encBase64, dispAttachment},
    {10, "xls", "application/msexcel", "", encBase64, dispAttachment},
    {11, "bmp", "application/x-bmp", "", encBase64, dispAttachment},
    {12, "jpg", "application/jpeg", "", encBase64, dispAttachment},
    {13, "jpeg", "application/jpeg", "", encBase64, dispAttachment},
    {14, "gif", "image/gif", "", encBase64, dispAttachment},
    {15, "ief", "image/ief", "", encBase64, dispAttachment},
    {16, "tif", "image/tiff", "", encBase64, dispAttachment},
    {17, "tiff", "image/tiff", "", encBase64, dispAttachment},
    {18, "mov", "video/quicktime", "", encBase64, dispAttachment},
    {19, "eml", "message/rfc822", "", enc8bit, dispAttachment},
    {20, "msg", "message/news", "", enc8bit, dispAttachment},
    {21, "msg", "message/rfc822", "", enc8bit, dispAttachment},
    {22, "txt", "message/partial", "", enc8bit, dispAttachment},
    {23, "txt", "message/external-body", "", enc8bit, dispAttachment},
    {24, "att", "application/octet-stream", "", encBase64, dispAttachment},
    {25, "bin", "application/octet-stream", "", encBase64, dispAttachment},
}};
static_assert(kMimeTypes[kDefaultMimeTypeRow - 1].extension == "bin");
static_assert(kMimeTypes[kTextMimeTypeRow - 1].contentType == "text/plain");

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

template <size_t N>
int FindName(const std::array<std::string_view, N>& names, std::string_view name) {
  for (size_t i = 0; i < N; ++i)
    if (SameTextAscii(names[i], name)) return static_cast<int>(i) + 1;
  return 0;
}

}  // namespace

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string result(text);
  for (auto& c : result) c = LowerChar(c);
  return result;
}

std::string_view HeaderName(int index) {
  return index >= 1 && index <= kHeaderCount ? kHeaderNames[static_cast<size_t>(index - 1)] : std::string_view();
}
int FindHeader(std::string_view name) { return FindName(kHeaderNames, name); }
bool HeaderHasStorage(int index) {
  return index >= 1 && index <= kHeaderCount && index != hdrFree0 && index != hdrFree1 && index != hdrFree2;
}

std::string_view PartHeaderName(int index) {
  return index >= 1 && index <= kPartHeaderCount ? kPartHeaderNames[static_cast<size_t>(index - 1)]
                                                 : std::string_view();
}
int FindPartHeader(std::string_view name) { return FindName(kPartHeaderNames, name); }

std::string_view EncodingName(int code) {
  return code >= 0 && code < kEncodingCount ? kEncodingNames[static_cast<size_t>(code)] : std::string_view();
}
int FindEncoding(std::string_view name) { return FindName(kEncodingNames, name) - 1; }

std::string_view DispositionName(int code) {
  return code == dispAttachment ? kDispositionNames[1] : kDispositionNames[0];
}

std::string_view MultipartContentType(int code) {
  return code >= 0 && code < kMultipartKindCount ? kMultipartTypes[static_cast<size_t>(code)] : kMultipartTypes[0];
}
int FindMultipartKind(std::string_view contentType) {
  const int found = FindName(kMultipartTypes, contentType);
  return found == 0 ? mpMixed : found - 1;
}

const TMimeType& MimeTypeRow(int row) {
  if (row < 1 || row > kMimeTypeCount) row = kDefaultMimeTypeRow;
  return kMimeTypes[static_cast<size_t>(row - 1)];
}

const TMimeType* FindMimeTypeByExtension(std::string_view extension) {
  for (const auto& type : kMimeTypes)
    if (SameTextAscii(type.extension, extension)) return &type;
  return nullptr;
}

const TMimeType* FindMimeTypeByContentType(std::string_view contentType) {
  for (const auto& type : kMimeTypes)
    if (SameTextAscii(type.contentType, contentType)) return &type;
  return nullptr;
}

const TMimeType& MimeTypeByExtension(std::string_view extension) {
  const TMimeType* type = FindMimeTypeByExtension(extension);
  return type ? *type : MimeTypeRow(kDefaultMimeTypeRow);
}

const TMimeType& MimeTypeByContentType(std::string_view contentType) {
  const TMimeType* type = FindMimeTypeByContentType(contentType);
  return type ? *type : MimeTypeRow(kDefaultMimeTypeRow);
}

std::string FindMimeExtension(std::string_view extension) {
  return FindMimeTypeByExtension(extension) ? LowerAscii(extension) : std::string();
}

}  // namespace tovenmarsh::mail
