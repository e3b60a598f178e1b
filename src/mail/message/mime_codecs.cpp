// MIME codecs: CRC-32 of a stream, plain copies, base64, uuencode and quoted-printable.
// Contract in mime_codecs.h. Each codec runs over a ByteSource/ByteSink pair so that the stream
// and in-memory forms share one implementation and large bodies stay linear.
#include "mail/message/mime_codecs.h"

#include <array>
#include <limits>

#include "mail/message/mime_io.h"

namespace tovenmarsh::mail {

using detail::ByteSink;
using detail::ByteSource;
using platform::TStream;

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// Tables for eight bytes a step: table k maps a byte to its register effect k bytes further on.
// Every delivered message is summed once, and a byte a step made that a large share of a
// delivery's own work.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrcSlices() {
  std::array<std::array<uint32_t, 256>, 8> slices{};
  slices[0] = MakeCrcTable();
  for (size_t k = 1; k < 8; ++k) {
    for (size_t n = 0; n < 256; ++n) {
      const uint32_t previous = slices[k - 1][n];
      slices[k][n] = slices[0][previous & 0xFF] ^ (previous >> 8);
    }
  }
  return slices;
}
constexpr std::array<std::array<uint32_t, 256>, 8> kCrcSlices = MakeCrcSlices();

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeBase64Values() {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
  return values;
}
constexpr std::array<int8_t, 256> kBase64Values = MakeBase64Values();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// ---- base64

void EncodeBase64(ByteSource& in, ByteSink& out, int lineLength) {
  int64_t written = 0;
  for (;;) {
    const int b0 = in.Get();
    if (b0 < 0) break;
    const int b1 = in.Get();
    const int b2 = b1 < 0 ? -1 : in.Get();
    const uint32_t group = (static_cast<uint32_t>(b0) << 16) | (static_cast<uint32_t>(b1 < 0 ? 0 : b1) << 8) |
                           static_cast<uint32_t>(b2 < 0 ? 0 : b2);
    out.Put(kBase64Alphabet[(group >> 18) & 63]);
    out.Put(kBase64Alphabet[(group >> 12) & 63]);
    out.Put(b1 < 0 ? '=' : kBase64Alphabet[(group >> 6) & 63]);
    out.Put(b2 < 0 ? '=' : kBase64Alphabet[group & 63]);
    written += 4;
    if (lineLength > 0 && written % lineLength == 0) out.Put("\r\n");
    if (b2 < 0) break;
  }
}

void DecodeBase64(ByteSource& in, ByteSink& out) {
  uint32_t group = 0;
  int values = 0;
  for (std::string_view chunk = in.Chunk(); !chunk.empty(); chunk = in.Chunk()) {
    size_t i = 0;
    for (; i < chunk.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(chunk[i]);
      if (c == '=') break;
      const int v = kBase64Values[c];
      if (v < 0) continue;
      group = (group << 6) | static_cast<uint32_t>(v);
      if (++values == 4) {
        out.Put(static_cast<char>(group >> 16));
        out.Put(static_cast<char>(group >> 8));
        out.Put(static_cast<char>(group));
        group = 0;
        values = 0;
      }
    }
    if (i < chunk.size()) break;  // "=" ends the data
    in.Skip(chunk.size());
  }
  // A tail of n values holds n - 1 whole bytes.
  if (values == 2) {
    out.Put(static_cast<char>(group >> 4));
  } else if (values == 3) {
    out.Put(static_cast<char>(group >> 10));
    out.Put(static_cast<char>(group >> 2));
  }
}

// ---- uuencode

char UUChar(uint32_t value) { return value == 0 ? '`' : static_cast<char>(32 + value); }

// Characters per line: a whole number of groups, at most 63 bytes (the largest length character).
int UULineChars(int lineLength) {
  if (lineLength < 4) return kUULineLength;
  return lineLength > 84 ? 84 : lineLength - lineLength % 4;
}

void EncodeUU(ByteSource& in, ByteSink& out, int lineLength) {
  const int lineBytes = UULineChars(lineLength) / 4 * 3;
  unsigned char line[63];
  for (;;) {
    int n = 0;
    for (int c; n < lineBytes && (c = in.Get()) >= 0;) line[n++] = static_cast<unsigned char>(c);
    if (n == 0) break;
    out.Put(UUChar(static_cast<uint32_t>(n)));
    for (int i = 0; i < n; i += 3) {
      const uint32_t group = (static_cast<uint32_t>(line[i]) << 16) |
                             (static_cast<uint32_t>(i + 1 < n ? line[i + 1] : 0) << 8) |
                             static_cast<uint32_t>(i + 2 < n ? line[i + 2] : 0);
      out.Put(UUChar((group >> 18) & 63));
      out.Put(UUChar((group >> 12) & 63));
      out.Put(UUChar((group >> 6) & 63));
      out.Put(UUChar(group & 63));
    }
    if (n < lineBytes) break;
    out.Put("\r\n");
  }
}

void DecodeUU(ByteSource& in, ByteSink& out) {
  uint32_t group = 0;
  int values = 0;
  bool lineStart = true;  // the length character of each line is not data
  for (int c; (c = in.Get()) >= 0;) {
    if (c == '\r' || c == '\n') {
      lineStart = true;
      continue;
    }
    if (lineStart) {
      lineStart = false;
      continue;
    }
    uint32_t v;
    if (c == '`') {
      v = 0;
    } else if (c >= 33 && c <= 95) {
      v = static_cast<uint32_t>(c - 32);
    } else {
      continue;
    }
    group = (group << 6) | v;
    if (++values == 4) {
      out.Put(static_cast<char>(group >> 16));
      out.Put(static_cast<char>(group >> 8));
      out.Put(static_cast<char>(group));
      group = 0;
      values = 0;
    }
  }
  if (values > 0) {
    group <<= 6 * (4 - values);
    const char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
    for (char b : bytes) {
      if (b == 0) break;
      out.Put(b);
    }
  }
}

// ---- quoted-printable

bool QPKept(int c) { return (c >= '!' && c <= '<') || (c >= '>' && c <= '~'); }

void PutEscape(std::string& line, int c) {
  line.push_back('=');
  line.push_back(kHexDigits[(c >> 4) & 15]);
  line.push_back(kHexDigits[c & 15]);
}

void EncodeQP(ByteSource& in, ByteSink& out, int lineLength) {
  std::string line;
  line.reserve(96);
  bool afterCR = false;      // an LF right after a CR belongs to the same break
  auto endLine = [&](bool hard) {
    out.Put(line);
    out.Put(hard ? "\r\n" : "=\r\n");
    line.clear();
  };
  for (int c; (c = in.Get()) >= 0;) {
    if (c == '\r' || c == '\n') {
      if (!(c == '\n' && afterCR)) endLine(true);
      afterCR = c == '\r';
      continue;
    }
    afterCR = false;
    if (c == ' ' || c == '\t') {
      const int next = in.Peek();
      if (next == '\r' || next == '\n') {
        PutEscape(line, c);  // white space before a hard break would be stripped in transit
      } else {
        line.push_back(static_cast<char>(c));
        if (line.size() > 65) {
          endLine(false);
          continue;
        }
      }
    } else if (QPKept(c)) {
      line.push_back(static_cast<char>(c));
    } else {
      PutEscape(line, c);
    }
    if (lineLength > 0 && line.size() > static_cast<size_t>(lineLength)) endLine(false);
  }
  if (!line.empty()) endLine(false);  // the last line ends in a soft break
}

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void DecodeQP(ByteSource& in, ByteSink& out) {
  enum { kText, kEscape, kEscapeDigit, kSoftCR } state = kText;
  int high = 0;
  for (int c; (c = in.Get()) >= 0;) {
    switch (state) {
      case kSoftCR:
        state = kText;
        if (c == '\n') break;  // "=" CR LF: a soft break
        [[fallthrough]];
      case kText:
        if (c == '=') {
          state = kEscape;
        } else if (c == '\t' || c == '\r' || c == '\n' || (c >= ' ' && c <= '~')) {
          out.Put(static_cast<char>(c));
        }
        break;
      case kEscape:
        if (c == '\r') {
          state = kSoftCR;
        } else if (c == '\n') {
          state = kText;
        } else if ((high = HexValue(c)) >= 0) {
          state = kEscapeDigit;
        } else {
          state = kText;  // not an escape: the character goes with it
        }
        break;
      case kEscapeDigit: {
        const int low = HexValue(c);
        if (low >= 0) out.Put(static_cast<char>(high * 16 + low));
        state = kText;
        break;
      }
    }
  }
}

// Runs a codec from a stream (limit < 0: to the end) into a stream.
template <typename Codec>
void RunStream(TStream& source, TStream& dest, int64_t limit, Codec codec) {
  ByteSource in(source, limit);
  ByteSink out(dest);
  codec(in, out);
  out.Flush();
}

template <typename Codec>
void RunSpan(std::string_view source, TStream& dest, Codec codec) {
  ByteSource in(source);
  ByteSink out(dest);
  codec(in, out);
  out.Flush();
}

}  // namespace

int32_t StreamCRC32(TStream& stream) {
  uint32_t crc = kCrc32Start;
  unsigned char block[16384];
  for (size_t n; (n = stream.Read(block, sizeof block)) > 0;) crc = Crc32Update(crc, block, n);
  return Crc32Value(crc);
}

uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t count) {
  const auto* in = static_cast<const unsigned char*>(bytes);
  const auto& t = kCrcSlices;
  for (; count >= 8; count -= 8, in += 8) {
    // Bytes assembled one by one: the sum is the same whatever the machine's byte order.
    const uint32_t low = crc ^ (static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
                                static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][in[4]] ^
          t[2][in[5]] ^ t[1][in[6]] ^ t[0][in[7]];
  }
  for (; count > 0; --count, ++in) crc = kCrcTable[(crc ^ *in) & 0xFF] ^ (crc >> 8);
  return crc;
}

int32_t Crc32Value(uint32_t crc) {
  const int32_t value = static_cast<int32_t>(crc);
  if (value == std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::max();
  return value < 0 ? -value : value;
}

void CopyBytes(TStream& source, TStream& dest, int64_t count) {
  if (count <= 0) return;
  RunStream(source, dest, count, [](ByteSource& in, ByteSink& out) {
    for (std::string_view chunk = in.Chunk(); !chunk.empty(); chunk = in.Chunk()) {
      out.Put(chunk);
      in.Skip(chunk.size());
    }
  });
}

void CopyStream(TStream& source, TStream& dest) {
  char block[64 * 1024];
  for (size_t n; (n = source.Read(block, sizeof block)) > 0;) dest.WriteBuffer(block, n);
}

void Base64Encode(TStream& source, TStream& dest, int lineLength) {
  RunStream(source, dest, -1, [lineLength](ByteSource& in, ByteSink& out) { EncodeBase64(in, out, lineLength); });
}
void Base64Encode(std::string_view source, TStream& dest, int lineLength) {
  RunSpan(source, dest, [lineLength](ByteSource& in, ByteSink& out) { EncodeBase64(in, out, lineLength); });
}
void Base64Decode(TStream& source, TStream& dest, int64_t count) {
  if (count > 0) RunStream(source, dest, count, DecodeBase64);
}
void Base64Decode(std::string_view source, TStream& dest) { RunSpan(source, dest, DecodeBase64); }

std::string Base64DecodeString(std::string_view text) {
  platform::TStringStream out;
  Base64Decode(text, out);
  return out.DataString();
}

void UUEncode(TStream& source, TStream& dest, int lineLength) {
  RunStream(source, dest, -1, [lineLength](ByteSource& in, ByteSink& out) { EncodeUU(in, out, lineLength); });
}
void UUEncode(std::string_view source, TStream& dest, int lineLength) {
  RunSpan(source, dest, [lineLength](ByteSource& in, ByteSink& out) { EncodeUU(in, out, lineLength); });
}
void UUDecode(TStream& source, TStream& dest, int64_t count) {
  if (count > 0) RunStream(source, dest, count, DecodeUU);
}
void UUDecode(std::string_view source, TStream& dest) { RunSpan(source, dest, DecodeUU); }

void QPEncode(TStream& source, TStream& dest, int lineLength) {
  RunStream(source, dest, -1, [lineLength](ByteSource& in, ByteSink& out) { EncodeQP(in, out, lineLength); });
}
void QPEncode(std::string_view source, TStream& dest, int lineLength) {
  RunSpan(source, dest, [lineLength](ByteSource& in, ByteSink& out) { EncodeQP(in, out, lineLength); });
}
void QPDecode(TStream& source, TStream& dest, int64_t count) {
  if (count > 0) RunStream(source, dest, count, DecodeQP);
}
void QPDecode(std::string_view source, TStream& dest) { RunSpan(source, dest, DecodeQP); }

}  // namespace tovenmarsh::mail
