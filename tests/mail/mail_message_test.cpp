// The message model: loading agrees with Python's email package on a corpus of messages and on
// random multipart trees; saving and reloading keeps parts and payloads; header table, part
// resolution, rendering, the bounds on hostile input and the header helpers.
#include "mail/message/mail_message.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>

#include "mail/message/mail_address.h"
#include "mail/message/mime_codecs.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using platform::TStringStream;
using testing::ReadWholeFile;
using testing::Hex;
using testing::RunPythonOracle;

void Load(TMailMessage& message, const std::string& raw) {
  TStringStream in(raw);
  message.LoadFromStream(in);
}

std::string Save(TMailMessage& message) {
  TStringStream out;
  message.SaveToStream(out);
  return out.DataString();
}

// One line per part: content type, boundary, file name, depth and the decoded payload ("-" for a
// multipart).
std::string Structure(const TMailMessage& message, bool withDepth = true) {
  auto line = [&](const TMsgPart& part, int depth, bool leaf) {
    const std::string& name = part.FileName().empty() ? part.Name() : part.FileName();
    return LowerAscii(part.ContentType()) + "|" + part.Boundary() + "|" + (leaf ? name : std::string()) + "|" +
           (withDepth ? std::to_string(depth) : std::string("*")) + "|" +
           (leaf ? Hex(part.Content().Bytes()) : std::string("-")) + "\n";
  };
  const TMsgPart& main = message.MainPart();
  std::string result = line(main, -1, main.Boundary().empty());
  for (int i = 0; i < message.PartCount(); ++i) {
    const TMsgPart& part = message.Part(i);
    result += line(part, part.Depth(), part.ContentStart() != 0);
  }
  return result;
}

// The same structure as Python's email package sees it (the file name from Content-Disposition,
// else the name parameter of Content-Type). Multipart kinds that the model does
// not know count as multipart/mixed.
const char kEmailOracle[] = R"PY(
import email
from email import policy
KINDS = ('multipart/mixed', 'multipart/parallel', 'multipart/alternative', 'multipart/digest')
def line(p, depth):
    t = p.get_content_type()
    if p.is_multipart():
        if t not in KINDS: t = 'multipart/mixed'
        return '%s|%s||%s|-\n' % (t, p.get_boundary(), depth)
    return '%s||%s|%s|%s\n' % (t, p.get_filename() or '', depth, (p.get_payload(decode=True) or b'').hex())
def walk(p, depth, out):
    for sub in p.get_payload():
        out.append(line(sub, depth))
        if sub.is_multipart(): walk(sub, depth + 1, out)
def oracle(recs):
    res = []
    for raw in recs:
        m = email.message_from_bytes(raw, policy=policy.compat32)
        out = [line(m, -1)]
        if m.is_multipart(): walk(m, 0, out)
        res.append(''.join(out).encode('latin-1'))
    return res
)PY";

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(TM_SOURCE_DIR "/tests/mail/messages"))
    if (entry.path().extension() == ".eml") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(MailMessageOracle, CorpusStructureMatchesPythonEmail) {
  const auto files = CorpusFiles();
  ASSERT_GE(files.size(), 9u);
  std::vector<std::string> raws;
  for (const auto& file : files) raws.push_back(ReadWholeFile(file));
  const auto expected = RunPythonOracle(kEmailOracle, raws);
  ASSERT_EQ(expected.size(), raws.size());
  for (size_t i = 0; i < raws.size(); ++i) {
    TMailMessage message;
    Load(message, raws[i]);
    EXPECT_EQ(Structure(message), expected[i]) << files[i];
  }
}

// Saving writes every part under the one new boundary, so nested multiparts come back
// flattened: the parts, their types and payloads stay, their depths do not.
TEST(MailMessageOracle, SaveAndReloadKeepsPartsAndPayloads) {
  for (const auto& file : CorpusFiles()) {
    TMailMessage message;
    Load(message, ReadWholeFile(file));
    std::string saved = Save(message);
    ASSERT_GE(saved.size(), 5u);
    EXPECT_EQ(saved.substr(saved.size() - 5), "\r\n.\r\n") << file;
    saved.resize(saved.size() - 3);  // the end-of-data line, as the SMTP layer removes it
    TMailMessage again;
    Load(again, saved);
    EXPECT_EQ(Structure(again, false), Structure(message, false)) << file << "\n" << saved;
    EXPECT_EQ(again.GetHeader(hdrSubject), message.GetHeader(hdrSubject));
    EXPECT_EQ(again.XHeaders(), message.XHeaders());
  }
}

// Random trees of multiparts with leaves in every encoding, sometimes without the outermost
// closing delimiter, checked against Python.
std::string RandomTree(std::mt19937& rng, int depth, int& counter, std::string& boundaryOut) {
  const std::string boundary = "b" + std::to_string(counter++) + "_" + std::to_string(rng() % 1000);
  boundaryOut = boundary;
  const char* kinds[] = {"multipart/mixed", "multipart/alternative", "multipart/parallel", "multipart/related"};
  std::string body;
  const int children = 1 + static_cast<int>(rng() % 4);
  for (int c = 0; c < children; ++c) {
    body += "--" + boundary + "\r\n";
    if (depth < 3 && rng() % 4 == 0) {
      std::string inner;
      const std::string content = RandomTree(rng, depth + 1, counter, inner);
      body += "Content-Type: " + std::string(kinds[rng() % 4]) + ";\r\n\tboundary=\"" + inner + "\"\r\n\r\n";
      body += content + "\r\n";
      continue;
    }
    std::string payload(rng() % 400, '\0');
    const int encoding = static_cast<int>(rng() % 3);
    for (auto& ch : payload)
      ch = encoding == 0 ? "abc xyz\r\n.-=!"[rng() % 14] : static_cast<char>(rng() & 0xFF);
    if (encoding == 0) {
      // Plain text: no CR or LF alone, no delimiter-like line.
      payload = std::regex_replace(payload, std::regex("\r\n|\r|\n"), "\r\n");
      payload = std::regex_replace(payload, std::regex("\r\n-"), "\r\n.");
      body += "Content-Type: text/plain\r\n\r\n" + payload + "\r\n";
    } else {
      TStringStream encoded;
      if (encoding == 1) {
        Base64Encode(payload, encoded, kBase64LineLength);
        body += "Content-Type: application/octet-stream; name=\"f" + std::to_string(c) +
                ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
      } else {
        QPEncode(payload, encoded, kQPLineLength);
        body += "Content-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: "
                "quoted-printable\r\n\r\n";
      }
      body += encoded.DataString() + "\r\n";
    }
  }
  body += "--" + boundary + "--";
  return body;
}

TEST(MailMessageOracle, RandomTreesMatchPythonEmail) {
  std::mt19937 rng(77);
  std::vector<std::string> raws;
  for (int i = 0; i < 60; ++i) {
    int counter = 0;
    std::string boundary;
    std::string body = RandomTree(rng, 0, counter, boundary);
    if (i % 5 == 4) body.resize(body.rfind("\r\n--"));  // no final delimiter
    raws.push_back("From: a@b\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                   "\"\r\n\r\npreamble\r\n" + body + "\r\nepilogue\r\n");
  }
  const auto expected = RunPythonOracle(kEmailOracle, raws);
  ASSERT_EQ(expected.size(), raws.size());
  for (size_t i = 0; i < raws.size(); ++i) {
    TMailMessage message;
    Load(message, raws[i]);
    EXPECT_EQ(Structure(message), expected[i]) << raws[i];
  }
}

TEST(MailMessage, HeaderTable) {
  TMailMessage message;
  Load(message,
       "subject: first\r\n\tand second\r\nFROM: a@b\r\nSender: s@b\r\nRecieved: from x\r\nReceived: other\r\n"
       "Free0: dropped\r\nX-Tag:  a=b=c \r\nx-lower: kept out\r\nNo colon line\r\nMIME-Version: 1.0\r\n\r\nbody");
  EXPECT_EQ(message.GetHeader(hdrSubject), "first and second");
  EXPECT_EQ(message.GetHeader(hdrFrom), "a@b");
  EXPECT_EQ(message.GetHeader(hdrSender), "s@b");
  EXPECT_EQ(message.GetHeader(hdrSender2), "");
  EXPECT_EQ(message.GetHeader(hdrReceived), "from x");  // only the table's own spelling
  EXPECT_EQ(message.GetHeader(hdrFree0), "");
  EXPECT_EQ(message.XHeaders(), std::vector<std::string>{"X-Tag=a=b=c"});
  EXPECT_EQ(message.GetBodyText(), "body");

  const std::string saved = Save(message);
  EXPECT_EQ(saved.substr(0, saved.find("Content-Type")),
            "Recieved: from x\r\nFrom: a@b\r\nSubject: first and second\r\nMIME-Version: 1.0\r\n"
            "Sender: s@b\r\nX-Tag: a=b=c\r\n");

  TMailMessage noBlank;
  Load(noBlank, "Subject: only headers\r\nFrom: a@b\r\n");
  EXPECT_EQ(noBlank.GetHeader(hdrSubject), "only headers");
  EXPECT_EQ(noBlank.GetBodyText(), "");
  EXPECT_EQ(noBlank.PartCount(), 0);

  try {
    message.Part(0);
    FAIL() << "no exception";
  } catch (const EMimeError& e) {
    EXPECT_EQ(e.Message(), "MsgPart range overflow");
    EXPECT_STREQ(e.ClassName(), "EMimeError");
  }
}

TEST(MailMessage, PartResolution) {
  const struct {
    std::string headers;
    std::string type;
    int encoding, disposition;
    std::string extension;
  } cases[] = {
      {"", "text/plain", enc7bit, dispInline, "txt"},  // no headers: plain text
      {"Content-Type: text/html\r\n", "text/html", enc7bit, dispAttachment, "html"},  // the table's row
      {"Content-Type: image/png\r\nContent-Transfer-Encoding: BASE64\r\n", "image/png", encBase64, dispAttachment,
       "bin"},
      {"Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\"a b.txt\"\r\n", "text/plain",
       enc7bit, dispAttachment, "txt"},
      {"Content-Type: text/plain; name=x.txt\r\nContent-Transfer-Encoding: quoted-printable\r\n", "text/plain",
       encQuotedPrintable, dispInline, "txt"},
      {"Content-Type: text/plain\r\nContent-Transfer-Encoding: uuencoded\r\n", "text/plain", encUUEncoded,
       dispAttachment, "txt"},
      {"Content-Type: multipart/related; boundary=\"r\"\r\n", "multipart/mixed", enc7bit, dispAttachment, "bin"},
      // An encoding the table does not name is not decoded by the row's codec.
      {"Content-Type: application/pdf\r\nContent-Transfer-Encoding: binary\r\n", "application/pdf", enc8bit,
       dispAttachment, "pdf"},
  };
  for (const auto& c : cases) {
    TMsgPart part;
    part.ParseHeaders(c.headers);
    EXPECT_EQ(part.ContentType(), c.type) << c.headers;
    EXPECT_EQ(part.EncodingCode(), c.encoding) << c.headers;
    EXPECT_EQ(part.DispositionCode(), c.disposition) << c.headers;
    EXPECT_EQ(part.Extension(), c.extension) << c.headers;
  }
  TMsgPart part;
  part.ParseHeaders("Content-Type: application/pdf;\r\n name=\"r.pdf\"; charset=x\r\nContent-Disposition: "
                    "inline; filename=r.pdf\r\n");
  EXPECT_EQ(part.Name(), "r.pdf");
  EXPECT_EQ(part.Charset(), "x");
  EXPECT_EQ(part.FileName(), "r.pdf");
  EXPECT_EQ(part.Disposition(), "inline");
  part.SetRendering(true);
  EXPECT_EQ(part.GetHeader(phContentType), "application/pdf; charset=\"x\"; name=\"r.pdf\"");
  EXPECT_EQ(part.GetHeader(phDisposition), "inline; \r\n\tfilename=\"r.pdf\"");
  EXPECT_EQ(part.GetHeader(phName), "");

  TStringStream pdf("%PDF-1.4");
  TMailMessage message;
  TMsgPart& attachment = message.AddAttachment(pdf, "PDF");
  EXPECT_EQ(attachment.ContentType(), "application/pdf");
  EXPECT_EQ(attachment.TransferEncoding(), "base64");
  EXPECT_EQ(attachment.Disposition(), "attachment");
  EXPECT_EQ(attachment.Index(), 1);
}

TEST(MailMessage, BuiltMessageSavesAndReloads) {
  TMailMessage message;
  message.SetHeader(hdrSubject, "  Undeliverable mail  ");
  message.SetHeader(hdrFree1, "never stored");
  message.SetBodyText("Your message did not arrive.\r\n");
  std::string binary(5000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
  TStringStream bin(binary), eml("Subject: original\r\n\r\nline\r\n");
  message.AddAttachment(bin, "zip");
  message.AddAttachment(eml, "eml");
  TMsgPart& qp = message.AddPart();
  qp.SetText(std::string(200, 'q') + "\r\n=end");
  qp.SetHeader(phTransferEncoding, "quoted-printable");
  qp.Resolve();

  std::string saved = Save(message);
  EXPECT_NE(saved.find("Subject: Undeliverable mail\r\nMIME-Version: 1.0\r\n"), std::string::npos);
  EXPECT_NE(saved.find("\r\n\r\nThis is a message in MIME format.\r\n\r\n--"), std::string::npos);
  EXPECT_EQ(saved.find("never stored"), std::string::npos);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(saved, match, std::regex("boundary=\"(----_=_tovenmarsh_[0-9A-F]{8}_[0-9A-F]{8}_"
                                                         "[0-9A-F]{8}\\.[0-9A-F]{4})\"")));
  EXPECT_EQ(saved.substr(saved.size() - match[1].length() - 9), "--" + match[1].str() + "--\r\n.\r\n");
  // base64 at 76 and quoted-printable within 76 characters a line.
  size_t lineStart = 0;
  for (size_t end; (end = saved.find("\r\n", lineStart)) != std::string::npos; lineStart = end + 2)
    EXPECT_LE(end - lineStart, 76u) << saved.substr(lineStart, end - lineStart);
  EXPECT_TRUE(std::regex_search(saved, std::regex("\r\n[A-Za-z0-9+/]{76}\r\n[A-Za-z0-9+/]{76}\r\n")));

  saved.resize(saved.size() - 3);
  TMailMessage again;
  Load(again, saved);
  ASSERT_EQ(again.PartCount(), 4);  // the body text comes back as the first part
  EXPECT_EQ(again.Part(0).GetText(), "Your message did not arrive.\r\n");
  EXPECT_EQ(again.Part(1).Content().Bytes(), binary);
  EXPECT_EQ(again.Part(2).Content().Bytes(), "Subject: original\r\n\r\nline\r\n");
  EXPECT_EQ(again.Part(2).ContentType(), "message/rfc822");
  EXPECT_EQ(again.Part(3).Content().Bytes(), std::string(200, 'q') + "\r\n=end");
  EXPECT_EQ(again.GetBodyText(), "\r\n\r\nYour message did not arrive.\r\n\r\n\r\n" + std::string(200, 'q') +
                                     "\r\n=end");
}

TEST(MailMessage, AlternativeSavesWithoutDisposition) {
  TMailMessage message;
  Load(message, ReadWholeFile(TM_SOURCE_DIR "/tests/mail/messages/nested_alternative.eml"));
  // Make the main part an alternative one.
  message.MainPart().SetHeader(phContentType, "multipart/alternative");
  message.MainPart().Resolve();
  const std::string saved = Save(message);
  EXPECT_EQ(saved.find("Content-Disposition"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Content-Type: multipart/alternative; \r\n\tboundary="), std::string::npos);
}

TEST(MailMessage, TopAndBodyText) {
  TMailMessage message;
  message.SetBodyText("one\r\ntwo\r\nthree");
  EXPECT_EQ(message.TopText(0), "");
  EXPECT_EQ(message.TopText(2), "one\r\ntwo\r\n");
  EXPECT_EQ(message.TopText(9), "one\r\ntwo\r\n");
  message.SetBodyText("no line end");
  EXPECT_EQ(message.TopText(1), "");

  TMailMessage mixed;
  Load(mixed, ReadWholeFile(TM_SOURCE_DIR "/tests/mail/messages/parts_without_headers.eml"));
  EXPECT_EQ(mixed.GetBodyText(), "\r\n\r\na part with no headers at all\r\n\r\ncaf\xc3\xa9 in utf-8 bytes");
}

TEST(MailMessage, HostileInputStaysBounded) {
  // Nesting far beyond the bound: the deepest multiparts are kept as opaque parts.
  std::string deep = "Content-Type: multipart/mixed; boundary=\"d0\"\r\n\r\n";
  const int levels = 200;
  for (int i = 1; i <= levels; ++i)
    deep += "--d" + std::to_string(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=\"d" + std::to_string(i) +
            "\"\r\n\r\n";
  deep += "--d" + std::to_string(levels) + "\r\n\r\nleaf\r\n";
  TMailMessage message;
  Load(message, deep);
  int maxDepth = 0;
  for (int i = 0; i < message.PartCount(); ++i) maxDepth = std::max(maxDepth, message.Part(i).Depth());
  EXPECT_LT(maxDepth, kMaxMimeDepth);
  EXPECT_LE(message.PartCount(), levels);

  // More parts than the bound: the last one keeps the rest of the text.
  std::string many = "Content-Type: multipart/mixed; boundary=m\r\n\r\n";
  for (size_t i = 0; i < kMaxMimeParts + 50; ++i) many += "--m\r\n\r\nx\r\n";
  many += "--m--\r\n";
  Load(message, many);
  EXPECT_EQ(static_cast<size_t>(message.PartCount()), kMaxMimeParts);
  EXPECT_EQ(message.Part(0).Content().Bytes(), "x");
  EXPECT_GT(message.Part(message.PartCount() - 1).Content().Size(), 100);

  // Parts of headers only, the one blank line at the very end: each ends at the next delimiter.
  std::string bare = "Content-Type: multipart/mixed; boundary=m\r\n\r\n";
  for (size_t i = 0; i < kMaxMimeParts + 50; ++i) bare += "--m\r\nContent-Type: text/html\r\n";
  bare += "--m--\r\n\r\nepilogue";
  Load(message, bare);
  ASSERT_EQ(static_cast<size_t>(message.PartCount()), kMaxMimeParts);
  EXPECT_EQ(message.Part(0).ContentType(), "text/html");
  EXPECT_EQ(message.Part(0).Content().Size(), 0);
  EXPECT_NE(message.Part(0).ContentStart(), 0);

  std::string headers;
  for (int i = 0; i < 5000; ++i) headers += "X-H" + std::to_string(i) + ": v\r\n";
  Load(message, headers + "\r\nbody");
  EXPECT_EQ(message.XHeaders().size(), kMaxXHeaders);

  // Odd input: a delimiter at the very end, a part without a blank line, garbage.
  for (const std::string& raw : {std::string("Content-Type: multipart/mixed; boundary=z\r\n\r\n--z"),
                                std::string("Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\nA: b"),
                                std::string("\r\n\r\n--z\r\n"), std::string("Content-Type: ; boundary=\r\n\r\n--")}) {
    Load(message, raw);
    Save(message);
  }
}

TEST(MailMessage, HeaderHelpers) {
  EXPECT_EQ(ReturnPathLine("a@b.c"), "Return-Path: <a@b.c>\r\n");
  const std::string received = ReceivedLine("client.example", "mx.example", 46365.34375);
  EXPECT_TRUE(std::regex_match(received, std::regex("Recieved: from client\\.example by mx\\.example with SMTP; "
                                                    "Wed, 09 Dec 2026 08:15:00 [+-][0-9]{4}\r\n")))
      << received;
  EXPECT_TRUE(std::regex_match(ReceivedLine("h"), std::regex("Recieved: from h by .* with SMTP; .*\r\n")));

  TMailMessage message;
  message.SetHeader(hdrTo, "<bob@x>");
  message.SetHeader(hdrSubject, "Hi");
  message.SetHeader(hdrDate, "Wed, 09 Dec 2026 08:15:02 +0100");
  EXPECT_EQ(BounceText(message, "<bob@x>"),
            "Your message :\r\nTo: <bob@x>\r\nSubject: Hi\r\nDate: Wed, 09 Dec 2026 08:15:02 +0100\r\n\r\n"
            "To Recipient(s): \r\nForwardPath : <bob@x>\r\n\r\n, did not reach its destination");

  EXPECT_TRUE(std::regex_match(NewBoundary(), std::regex("----_=_tovenmarsh_[0-9A-F]{8}_[0-9A-F]{8}_[0-9A-F]{8}\\."
                                                         "[0-9A-F]{4}")));

  const struct {
    std::string in, out;
  } lists[] = {
      {"Alice <a@x>, Bob <b@y>; <c@z>", "a@x,b@y,c@z"},
      {"a@x", "a@x"},  // nothing between brackets: unchanged
      {"", ""},
  };
  for (const auto& c : lists) EXPECT_EQ(AddressList(c.in), c.out) << c.in;

  std::string local, domain;
  SplitMailAddress("<joe@mail.example.org>", local, domain);
  EXPECT_EQ(local, "joe");
  EXPECT_EQ(domain, "mail.example.org");
  SplitMailAddress("ann@x.org", local, domain);
  EXPECT_EQ(local, "ann");
  EXPECT_EQ(domain, "x.org");

  EXPECT_EQ(FormatMailAddress("", ""), "");
  EXPECT_EQ(FormatMailAddress("", "a@b"), "<a@b>");
  EXPECT_EQ(FormatMailAddress("Ann Lee", "a@b"), "\"Ann Lee\" <a@b>");
  EXPECT_EQ(FormatMailAddress3("Ann", "a", "b.org"), "\"Ann\" <a@b.org>");
}

TEST(MailMessage, ExtensionTable) {
  EXPECT_EQ(FindMimeExtension("JPG"), "jpg");
  EXPECT_EQ(FindMimeExtension("png"), "");
  EXPECT_EQ(MimeTypeByExtension("txt").contentType, "text/plain");  // the first of the txt rows
  EXPECT_EQ(MimeTypeByExtension("exe").row, kDefaultMimeTypeRow);
  EXPECT_EQ(MimeTypeByContentType("MESSAGE/RFC822").extension, "eml");
  EXPECT_EQ(MimeTypeByContentType("application/octet-stream").extension, "att");
  EXPECT_EQ(FindMimeTypeByExtension("gif")->contentType, "image/gif");
  EXPECT_EQ(HeaderName(hdrReceived), "Recieved");
  EXPECT_EQ(FindHeader("message-id"), hdrMessageID);
  EXPECT_EQ(FindHeader("sender"), hdrSender);
}

}  // namespace
}  // namespace tovenmarsh::mail
