// The codecs against Python's zlib, base64, binascii and quopri on random inputs, the line
// lengths messages rely on, and the decoders' rules for odd input.
#include "mail/message/mime_codecs.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "mail/message/iso_header.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using platform::TStringStream;
using testing::RunPythonOracle;

template <typename Encoder>
std::string EncodeWith(Encoder encoder, const std::string& data, int lineLength) {
  TStringStream in(data), out;
  encoder(in, out, lineLength);
  return out.DataString();
}

template <typename Decoder>
std::string DecodeWith(Decoder decoder, const std::string& data) {
  TStringStream in(data), out;
  decoder(in, out, static_cast<int64_t>(data.size()));
  return out.DataString();
}

std::string B64(const std::string& d, int len = kBase64LineLength) {
  return EncodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int)>(Base64Encode), d, len);
}
std::string UUE(const std::string& d, int len = kUULineLength) {
  return EncodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int)>(UUEncode), d, len);
}
std::string QPE(const std::string& d, int len = kQPLineLength) {
  return EncodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int)>(QPEncode), d, len);
}
std::string B64D(const std::string& d) {
  return DecodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int64_t)>(Base64Decode), d);
}
std::string UUD(const std::string& d) {
  return DecodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int64_t)>(UUDecode), d);
}
std::string QPD(const std::string& d) {
  return DecodeWith(static_cast<void (*)(platform::TStream&, platform::TStream&, int64_t)>(QPDecode), d);
}

int32_t Crc(const std::string& d) {
  TStringStream s(d);
  return StreamCRC32(s);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// Random inputs: binary, text with every kind of line break and white space, and edge lengths.
std::vector<std::string> RandomInputs() {
  std::mt19937 rng(20261210);
  std::vector<std::string> inputs = {"", "a", "ab", "abc", std::string(1, '\0'), std::string(45, 'x'),
                                     std::string(57, 'y'), std::string(90, 'z'), std::string(200, ' ')};
  const std::string textChars = "abcXYZ019 \t\r\n=.-_?!~\"";
  for (int i = 0; i < 160; ++i) {
    const size_t len = rng() % (i < 80 ? 300 : 3000);
    std::string d(len, '\0');
    const bool text = i % 2 == 0;
    for (auto& c : d)
      c = text ? textChars[rng() % textChars.size()] : static_cast<char>(rng() & 0xFF);
    inputs.push_back(d);
  }
  return inputs;
}

TEST(MimeCodecsOracle, CrcMatchesZlibWithoutFinalInversion) {
  auto inputs = RandomInputs();
  const auto expected = RunPythonOracle(R"PY(
import zlib
def oracle(recs):
    out = []
    for d in recs:
        reg = zlib.crc32(d) ^ 0xffffffff
        signed = reg - (1 << 32) if reg >= (1 << 31) else reg
        out.append(str(min(abs(signed), 2**31 - 1)).encode())
    return out
)PY", inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(std::to_string(Crc(inputs[i])), expected[i]) << i;
  // Fed in three pieces, cut anywhere (deliveries sum a line, then pieces of the file), and
  // from starts off any word boundary: the same sums.
  std::mt19937 rng(7);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& d = inputs[i];
    const size_t a = d.empty() ? 0 : rng() % (d.size() + 1);
    const size_t b = a + (d.size() == a ? 0 : rng() % (d.size() - a + 1));
    const std::string shifted = "xyz" + d;  // the bytes from an odd address on
    uint32_t crc = Crc32Update(kCrc32Start, shifted.data() + 3, a);
    crc = Crc32Update(crc, d.data() + a, b - a);
    crc = Crc32Update(crc, d.data() + b, d.size() - b);
    EXPECT_EQ(std::to_string(Crc32Value(crc)), expected[i]) << i << " cut at " << a << " and " << b;
  }
}

TEST(MimeCodecsOracle, Base64AgreesWithPython) {
  auto inputs = RandomInputs();
  // Python's encoding at 76 a line with CR LF (and CR LF after a full last line), and its
  // MIME form with LF line ends for our decoder.
  const auto expected = RunPythonOracle(R"PY(
import base64
def oracle(recs):
    out = []
    for d in recs:
        s = base64.b64encode(d)
        lines = [s[i:i + 76] for i in range(0, len(s), 76)]
        enc = b'\r\n'.join(lines) + (b'\r\n' if s and len(s) % 76 == 0 else b'')
        out += [enc, base64.encodebytes(d)]
    return out
)PY", inputs);
  ASSERT_EQ(expected.size(), 2 * inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string ours = B64(inputs[i]);
    EXPECT_EQ(ours, expected[2 * i]) << i;
    EXPECT_EQ(B64D(expected[2 * i + 1]), inputs[i]) << i;
    EXPECT_EQ(Base64DecodeString(ours), inputs[i]) << i;
    const auto lines = SplitLines(ours);
    for (size_t k = 0; k < lines.size(); ++k) {
      if (k + 1 < lines.size()) EXPECT_EQ(lines[k].size(), 76u);
      else EXPECT_LE(lines[k].size(), 76u);
    }
  }
}

TEST(MimeCodecsOracle, UUEncodeAgreesWithBinascii) {
  auto inputs = RandomInputs();
  const auto expected = RunPythonOracle(R"PY(
import binascii
def oracle(recs):
    out = []
    for d in recs:
        lines = [binascii.b2a_uu(d[i:i + 45], backtick=True)[:-1] for i in range(0, len(d), 45)]
        out.append(b'\r\n'.join(lines) + (b'\r\n' if d and len(d) % 45 == 0 else b''))
    return out
)PY", inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string ours = UUE(inputs[i]);
    EXPECT_EQ(ours, expected[i]) << i;
    // The decoder reads whole groups across lines, so a zero-filled tail comes back as zeros.
    std::string padded = inputs[i];
    padded.append((3 - padded.size() % 3) % 3, '\0');
    EXPECT_EQ(UUD(ours), padded) << i;
    for (const auto& line : SplitLines(ours)) EXPECT_LE(line.size(), 61u);
  }
}

TEST(MimeCodecsOracle, QuotedPrintableAgreesWithQuopri) {
  auto inputs = RandomInputs();
  std::vector<std::string> records;
  for (const auto& d : inputs) {
    records.push_back(d);
    records.push_back(QPE(d));
  }
  // quopri decodes our encoding to the input with its line breaks as CR LF; quopri's own
  // encodings (text form, and binary form with CR and LF escaped) decode alike through ours.
  const auto expected = RunPythonOracle(R"PY(
import binascii, quopri, re
def oracle(recs):
    out = []
    for i in range(0, len(recs), 2):
        d, ours = recs[i], recs[i + 1]
        want = re.sub(rb'\r\n|\r|\n', b'\r\n', d)
        got = quopri.decodestring(ours)
        text = quopri.encodestring(d)
        out += [b'ok' if got == want else b'quopri gave ' + got,
                text, quopri.decodestring(text), binascii.b2a_qp(d, istext=False)]
    return out
)PY", records);
  ASSERT_EQ(expected.size(), 2 * records.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(expected[4 * i], "ok") << i << " encoded as " << records[2 * i + 1];
    EXPECT_EQ(QPD(expected[4 * i + 1]), expected[4 * i + 2]) << i;
    EXPECT_EQ(QPD(expected[4 * i + 3]), inputs[i]) << i;
    const std::string crlf = std::regex_replace(inputs[i], std::regex("\r\n|\r|\n"), "\r\n");
    EXPECT_EQ(QPD(records[2 * i + 1]), crlf) << i;
    for (const auto& line : SplitLines(records[2 * i + 1])) EXPECT_LE(line.size(), 76u) << line;
  }
}

TEST(MimeCodecs, CrcEdges) {
  EXPECT_EQ(Crc(""), 1);  // the all-ones register as a signed value
  // These bytes leave the register at 0x80000000, whose magnitude does not fit.
  EXPECT_EQ(Crc(std::string("tovenmarshI\xba" "AH", 14)), 2147483647);
  // Only the bytes from the position on count, however they are read.
  const std::string big(10000, 'q');
  TStringStream s("prefix" + big);
  s.SetPosition(6);
  EXPECT_EQ(StreamCRC32(s), Crc(big));
}

TEST(MimeCodecs, PlainCopies) {
  const std::string data(70000, 'c');
  TStringStream in("skip" + data), out;
  in.SetPosition(4);
  CopyBytes(in, out, 100);
  EXPECT_EQ(out.DataString(), data.substr(0, 100));
  CopyBytes(in, out, 1 << 20);  // a short source ends the copy
  EXPECT_EQ(out.DataString(), data);
  TStringStream whole(data), copy;
  whole.SetPosition(69990);
  CopyStream(whole, copy);
  EXPECT_EQ(copy.DataString(), data.substr(69990));
}

TEST(MimeCodecs, Base64DecoderRules) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"QUJDAA==", std::string("ABC\0", 4)},  // a final zero byte survives
      {"QUJD\r\nREVG", "ABCDEF"},             // line breaks and
      {" Q U*J-D ", "ABC"},                   // other characters are skipped
      {"QQ==QUJD", "A"},                      // "=" ends the data
      {"QUJDR", "ABC"},                       // a single leftover value gives nothing
      {"QUI", "AB"},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64DecodeString(c.in), c.out) << c.in;
  // The count bounds what is read.
  TStringStream in("QUJDREVG"), out;
  Base64Decode(in, out, 4);
  EXPECT_EQ(out.DataString(), "ABC");
}

TEST(MimeCodecs, UUDecoderRules) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"#86)C", "abc"},
      {"#86)C\r\n\"86", "abca`"},  // a zero-filled final group stops at its first zero byte
      {"M86)C 86)C", "abcabc"},    // blanks are skipped, not read as zero
  };
  for (const auto& c : cases) EXPECT_EQ(UUD(c.in), c.out) << c.in;
}

TEST(MimeCodecs, QuotedPrintableRules) {
  const struct {
    std::string in, out;
  } encodes[] = {
      {"a\nb", "a\r\nb=\r\n"},  // a bare LF is a line break, not dropped
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\rb", "a\r\nb=\r\n"},
      {"a \r\nb\t\n", "a=20\r\nb=09\r\n"},
      {"x=y\x01\xff", "x=3Dy=01=FF=\r\n"},
      {"", ""},
  };
  for (const auto& c : encodes) EXPECT_EQ(QPE(c.in), c.out) << c.in;

  // Eighty letters: one soft break, no line longer than the line length plus one escape.
  const auto lines = SplitLines(QPE(std::string(80, 'L')));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(73, 'L') + "=");
  EXPECT_EQ(lines[1], std::string(7, 'L') + "=");
  // A blank past column 65 ends the line.
  const auto blanks = SplitLines(QPE(std::string(66, 'w') + " tail"));
  EXPECT_EQ(blanks[0], std::string(66, 'w') + " =");

  const struct {
    std::string in, out;
  } decodes[] = {
      {"=41=4a=\r\nx", "AJx"},  // lower-case digits, a soft break
      {"a=\nb", "ab"},
      {"=G1", "1"},             // a broken escape is dropped with its character
      {"\x01" "a\xff" "b", "ab"},
      {"tab\there", "tab\there"},
  };
  for (const auto& c : decodes) EXPECT_EQ(QPD(c.in), c.out) << c.in;
}

TEST(MimeCodecs, DecodeISOHeader) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"=?iso-8859-1?Q?", "=?iso-8859-1?Q?"},  // 15 characters or fewer: unchanged
      {"Re: =?iso-8859-1?Q?caf=E9_noir?= now", "Re: caf\xe9 noir now"},
      {"=?iso-8859-1?Q?a?= =?iso-8859-1?Q?b?=", "a b"},
      {"=?iso-8859-1?Q?=E9t=E9_x?=", "\xe9t\xe9 x"},  // a word that starts with an escape
      {"=?iso-8859-1?Q?=e9=3D?= x", "\x09= x"},              // lower-case digits weigh nothing
      {"=?ISO-8859-1?Q?caf=E9?=", "=?ISO-8859-1?Q?caf=E9?="},  // only the exact marker
      {"=?utf-8?Q?caf=C3=A9?=", "=?utf-8?Q?caf=C3=A9?="},
      {"=?iso-8859-1?B?Y2Fm?= end", "Y2Fm end"},
      {"unterminated =?iso-8859-1?Q?ab=4", "unterminated ab=4"},  // "=" without two digits stays
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeISOHeader(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace tovenmarsh::mail
