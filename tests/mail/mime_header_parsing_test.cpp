// Parsing of MIME headers against Python's email package, and its users in the archive:
// content-type parameters, parts of headers only, and ISO-8859-1 encoded words in subjects. The
// control test shows that the well-formed twins of the same fixtures agree with Python, so each
// other case can fail only by the rule it checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/store/document_archive.h"
#include "mail/message/iso_header.h"
#include "mail/message/mail_message.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using testing::Hex;
using testing::RunPythonOracle;

// The leaf parts of a message, one "type|decoded payload in hex" line each, in order.
std::string Leaves(const std::string& raw) {
  TMailMessage message;
  platform::TStringStream in(raw);
  message.LoadFromStream(in);
  auto line = [](const TMsgPart& part) {
    return LowerAscii(part.ContentType()) + "|" + Hex(part.Content().Bytes()) + "\n";
  };
  if (message.MainPart().Boundary().empty()) return line(message.MainPart());
  std::string result;
  for (int i = 0; i < message.PartCount(); ++i)
    if (message.Part(i).ContentStart() != 0) result += line(message.Part(i));
  return result;
}

const char kLeavesOracle[] = R"PY(
import email
from email import policy
def oracle(recs):
    res = []
    for raw in recs:
        m = email.message_from_bytes(raw, policy=policy.compat32)
        res.append(''.join('%s|%s\n' % (p.get_content_type(), (p.get_payload(decode=True) or b'').hex())
                           for p in m.walk() if not p.is_multipart()).encode())
    return res
)PY";

void ExpectLeavesAsPython(const std::vector<std::string>& raws) {
  const auto expected = RunPythonOracle(kLeavesOracle, raws);
  ASSERT_EQ(expected.size(), raws.size());
  for (size_t i = 0; i < raws.size(); ++i) EXPECT_EQ(Leaves(raws[i]), expected[i]) << raws[i];
}

const std::string kFrom = "From: a@example.org\r\nSubject: t\r\n";
std::string Mixed(const std::string& contentType, const std::string& body) {
  return kFrom + "Content-Type: " + contentType + "\r\n\r\n" + body;
}

// Attachments whose names hold a parameter word, unquoted parameters followed by a blank, and a
// part of headers only: every one is read as its well-formed twin (in the control test) is.
const std::vector<std::string> kNamedLikeAParameter = {
    kFrom + "Content-Type: text/plain; name=\"boundary.txt\"\r\n\r\nhello\r\n",
    Mixed("multipart/mixed; boundary=\"b\"",
          "--b\r\nContent-Type: text/plain; name=\"boundary-layer.txt\"\r\n\r\nlayer notes\r\n"
          "--b\r\nContent-Type: text/plain\r\n\r\nsecond\r\n--b--\r\n"),
};
const std::vector<std::string> kBlankAfterBoundary = {
    Mixed("multipart/mixed; boundary=b ; charset=us-ascii", "--b\r\n\r\nhello\r\n--b--\r\n"),
    Mixed("multipart/mixed; boundary=outer",
          "--outer\r\nContent-Type: multipart/alternative; boundary=in ;\r\n\r\n--in\r\n\r\ninner\r\n--in--\r\n"
          "--outer--\r\n"),
};
const std::vector<std::string> kHeadersOnlyPart = {
    Mixed("multipart/mixed; boundary=\"b\"",
          "--b\r\nContent-Type: text/plain\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--b--\r\n"),
    Mixed("multipart/mixed; boundary=\"b\"",
          "--b\r\n\r\nfirst\r\n--b\r\nContent-Type: application/octet-stream\r\n--b--\r\nepilogue\r\n\r\nmore\r\n"),
    // Inside a nested multipart, ended by the inner and by the outer delimiter.
    Mixed("multipart/mixed; boundary=\"outer\"",
          "--outer\r\nContent-Type: multipart/alternative; boundary=in\r\n\r\n--in\r\nContent-Type: text/plain\r\n"
          "--in\r\n\r\nsecond\r\n--in--\r\n--outer\r\nContent-Type: text/html\r\n--outer--\r\n\r\n"),
    Mixed("multipart/mixed; boundary=\"outer\"",
          "--outer\r\nContent-Type: multipart/alternative; boundary=in\r\n\r\n--in\r\nContent-Type: text/plain\r\n"
          "--outer\r\nContent-Type: image/gif\r\nContent-Transfer-Encoding: base64\r\n\r\nR0lG\r\n--outer--\r\n"),
    // With folded, quoted and blank-padded parameters around it.
    Mixed("multipart/mixed; name=\"boundary.txt\";\r\n\tboundary=outer ; charset=\"a;\\\"b\"",
          "--outer\r\nContent-Type: text/plain; name=\"x; boundary=no\"\r\n--outer\r\n"
          "Content-Type: multipart/alternative; boundary=\"in\"\r\n\r\n--in\r\nContent-Type: text/html\r\n--outer\r\n"
          "Content-Disposition: attachment; filename = \"a\\\\b.txt\" \r\n\r\nbody\r\n--outer--\r\n"),
};

TEST(MimeHeaderParsing, WellFormedTwinsAgreeWithPython) {
  ExpectLeavesAsPython({
      kFrom + "Content-Type: text/plain; name=\"report.txt\"\r\n\r\nhello\r\n",
      Mixed("multipart/mixed; boundary=\"b\"",
            "--b\r\nContent-Type: text/plain; name=\"layer.txt\"\r\n\r\nlayer notes\r\n"
            "--b\r\nContent-Type: text/plain\r\n\r\nsecond\r\n--b--\r\n"),
      Mixed("multipart/mixed; boundary=b; charset=us-ascii", "--b\r\n\r\nhello\r\n--b--\r\n"),
      Mixed("multipart/mixed; boundary=\"b\"",
            "--b\r\nContent-Type: text/plain\r\n\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--b--\r\n"),
  });
}

// Fault: a parameter is found as the first occurrence of its word anywhere in the header, so an
// attachment named "boundary.txt" gets the boundary ".txt" and its content is lost.
TEST(MimeHeaderParsing, ParameterWordInsideAnotherValueIsNoParameter) {
  ExpectLeavesAsPython(kNamedLikeAParameter);
  // The archive indexes what the text parts hold.
  EXPECT_NE(BuildDocumentRow(kNamedLikeAParameter[0], "", "f").content.find("hello"), std::string::npos);
  EXPECT_NE(BuildDocumentRow(kNamedLikeAParameter[1], "", "f").content.find("layer notes"), std::string::npos);
}

// Parameters of Content-Type and Content-Disposition as Python reads them: only a name where a
// parameter begins counts (not one inside another value or quoted text), names ignore case, a
// quoted value may hold ";" and escaped quotes, unquoted values are trimmed, the first wins.
TEST(MimeHeaderParsing, ParametersAgreeWithPython) {
  const struct {
    std::string type, disposition;
  } cases[] = {
      {"text/plain; name=\"boundary.txt\"", ""},
      {"text/plain; charset=us-ascii ; name = report.txt ", ""},
      {"text/plain; NAME=\"Upper.txt\"; Charset=UTF-8", ""},
      {"text/plain; name=\"a;b.txt\"; charset=\"x\"", ""},
      {"text/plain; name=\"say \\\"hi\\\".txt\"", ""},
      {"text/plain; name=\"C:\\dir\\a.txt\"", ""},
      {"text/plain; charset=\"a\\\\b\"", ""},
      {"text/plain; xname=1; name=2", ""},
      {"text/plain; name=\"boundary=zzz\"; charset=iso-8859-1", ""},
      {"text/plain; name; charset", ""},
      {"text/plain; name=x; name=y", ""},
      {"text/plain;name=x;charset=y", ""},
      {"text/plain; name=\"\"", "attachment; filename="},
      {"text/plain; filename=boundary; boundary=real", "attachment; filename=\"x.txt\""},
      {"multipart/mixed; boundary=\"b  \"", ""},
      {"multipart/mixed; boundary=\" b\"", ""},
      {"multipart/mixed; boundary=b ; charset=us-ascii", ""},
      {"text/plain", "attachment; filename = \"spaced.txt\" "},
      {"text/plain", "inline; modification-date=\"a; filename=evil\"; filename=good.txt"},
      {"text/plain", "attachment; filename=\"boundary.txt\"; size=10"},
  };
  std::vector<std::string> raws;
  for (const auto& c : cases) {
    raws.push_back(kFrom + "Content-Type: " + c.type + "\r\n" +
                   (c.disposition.empty() ? "" : "Content-Disposition: " + c.disposition + "\r\n") + "\r\nbody\r\n");
  }
  const auto expected = RunPythonOracle(R"PY(
import email
from email import policy
def oracle(recs):
    res = []
    for raw in recs:
        m = email.message_from_bytes(raw, policy=policy.compat32)
        got = [m.get_param('name'), m.get_param('charset'), m.get_boundary(),
               m.get_param('filename', header='content-disposition')]
        res.append('|'.join(v or '' for v in got).encode('latin-1'))
    return res
)PY",
                                        raws);
  ASSERT_EQ(expected.size(), raws.size());
  for (size_t i = 0; i < raws.size(); ++i) {
    TMailMessage message;
    platform::TStringStream in(raws[i]);
    message.LoadFromStream(in);
    const TMsgPart& part = message.MainPart();
    EXPECT_EQ(part.Name() + "|" + part.Charset() + "|" + part.Boundary() + "|" + part.FileName(), expected[i])
        << cases[i].type << " / " << cases[i].disposition;
  }
}

// Fault: parameter values are not trimmed, so "boundary=b ;" looks for "--b " lines, finds none,
// and every part of the message is lost.
TEST(MimeHeaderParsing, UnquotedParameterBeforeABlankIsTrimmed) {
  ExpectLeavesAsPython(kBlankAfterBoundary);
  EXPECT_NE(BuildDocumentRow(kBlankAfterBoundary[0], "", "f").content.find("hello"), std::string::npos);
}

// Fault: a part's header block runs to the next blank line even across the next delimiter, so a
// part of headers only (an empty body, which MIME allows) swallows the part after it.
TEST(MimeHeaderParsing, PartOfHeadersOnlyEndsAtTheNextDelimiter) {
  ExpectLeavesAsPython(kHeadersOnlyPart);
}

// Fault: inside an encoded word "=" is always read as an escape with two digits, even before the
// "?=" that ends the word; a base64 word's padding then yields a zero byte and the decoding runs
// on through the rest of the header (the next word's marker becomes text).
TEST(MimeEncodedWord, EncodedWordEndsAtItsTerminator) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"=?iso-8859-1?B?SGk=?= =?iso-8859-1?Q?caf=E9?=", "SGk= caf\xe9"},
      {"=?iso-8859-1?Q?100=?= =?iso-8859-1?Q?_pr=E9t?= now", "100=  pr\xe9t now"},
      {"Re: =?iso-8859-1?B?YWI=?= and =?iso-8859-1?Q?=E9?=", "Re: YWI= and \xe9"},
      {"=?iso-8859-1?Q?a=4?= b =?iso-8859-1?Q?c?=", "a=4 b c"},      // one digit before the end
      {"=?iso-8859-1?Q?==E9=?= and more", "=\xe9= and more"},       // "=" before an escape
      {"=?iso-8859-1?Q?=G1_x?= y", "=G1 x y"},                       // not a digit
      {"=?iso-8859-1?Q?tail=", "tail="},                             // unterminated, "=" at the end
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeISOHeader(c.in), c.out) << c.in;

  const TDocumentRow row =
      BuildDocumentRow("Subject: =?iso-8859-1?B?SGk=?= =?iso-8859-1?Q?caf=E9?=\r\nFrom: <a@b.org>\r\n\r\nx\r\n", "",
                       "f");
  EXPECT_EQ(row.description.find('\0'), std::string::npos);
  EXPECT_EQ(row.description, "SGk= caf\xe9");
}

}  // namespace
}  // namespace tovenmarsh::mail
