// Stream codecs of the mail subsystem: the CRC-32 checksum that identifies a stored message,
// base64, uuencode and quoted-printable in both directions, and plain copies (7bit/8bit).
//
// Decoders take a source positioned where the encoded data starts and consume at most count
// bytes of it; encoders read the source from its position to its end. Bad data never raises:
// characters a decoder does not know are skipped. Stream errors pass through.
// The span overloads decode bytes already in memory (the message loader uses them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace tovenmarsh::mail {

// Line lengths the message writer uses.
inline constexpr int kBase64LineLength = 76;
inline constexpr int kQPLineLength = 72;
inline constexpr int kUULineLength = 60;

// CRC-32 (IEEE 802.3, reflected) of the bytes from the stream's position to its end, with the
// register started at all ones and no final inversion, taken as a signed 32-bit value and made
// non-negative. The one register value whose magnitude does not fit (0x80000000) gives
// 2147483647, so the result is always defined and in 0..2147483647.
int32_t StreamCRC32(platform::TStream& stream);
// The same register fed piece by piece: start at kCrc32Start, Crc32Value gives the result.
inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t count);
int32_t Crc32Value(uint32_t crc);

// Copies count bytes (fewer when the source ends first).
void CopyBytes(platform::TStream& source, platform::TStream& dest, int64_t count);
// Copies the source from its position to its end.
void CopyStream(platform::TStream& source, platform::TStream& dest);

// Base64: lines of lineLength characters (76 in messages) separated by CR LF, no CR LF after a
// shorter last line; lineLength <= 0 writes one line. The decoder skips every character outside
// the alphabet and stops at the first "=".
void Base64Encode(platform::TStream& source, platform::TStream& dest, int lineLength);
void Base64Encode(std::string_view source, platform::TStream& dest, int lineLength);
void Base64Decode(platform::TStream& source, platform::TStream& dest, int64_t count);
void Base64Decode(std::string_view source, platform::TStream& dest);
std::string Base64DecodeString(std::string_view text);

// uuencode body lines (no begin or end lines), the grave accent standing for 0: each line is a
// length character and lineLength characters (60 in messages: 45 bytes); a final group of 1 or 2
// bytes is zero-filled like any other. The decoder ignores the length characters and reads values
// across lines; a final incomplete group gives its bytes up to the first zero byte.
void UUEncode(platform::TStream& source, platform::TStream& dest, int lineLength);
void UUEncode(std::string_view source, platform::TStream& dest, int lineLength);
void UUDecode(platform::TStream& source, platform::TStream& dest, int64_t count);
void UUDecode(std::string_view source, platform::TStream& dest);

// Quoted-printable. Line breaks of the source (CR LF, a bare CR or a bare LF) become hard breaks
// (CR LF); longer lines get soft breaks ("=" CR LF) once they pass lineLength (72 in messages) or
// after a blank placed beyond column 65. A blank or TAB right before a hard break is escaped so
// that no decoder strips it as trailing white space.
void QPEncode(platform::TStream& source, platform::TStream& dest, int lineLength);
void QPEncode(std::string_view source, platform::TStream& dest, int lineLength);
void QPDecode(platform::TStream& source, platform::TStream& dest, int64_t count);
void QPDecode(std::string_view source, platform::TStream& dest);

}  // namespace tovenmarsh::mail
