// The archive's text of a message: every word that Python's email package reads from the text
// parts (HTML through html.parser) is in it, over a table of awkward messages and Python's own
// MIME test corpus; parameters in RFC 2231 form; HTML turned into text.
#include "mail/message/message_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using testing::ReadWholeFile;
using testing::RunPythonOracle;

// Words (3 or more ASCII letters or digits) of every text part, one per line. In an alternative
// only the plain renderings count when there is one, else the last rendering.
const char kWordsOracle[] = R"PY(
import email, re
from email import policy
from html.parser import HTMLParser
class Text(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.out, self.skip = [], 0
    def handle_starttag(self, tag, attrs):
        if tag in ('script', 'style'): self.skip += 1
    def handle_endtag(self, tag):
        if tag in ('script', 'style') and self.skip: self.skip -= 1
    def handle_data(self, data):
        if not self.skip: self.out.append(data)
def leaf_text(p):
    raw = p.get_payload(decode=True) or b''
    try: t = raw.decode(p.get_content_charset() or 'latin-1', 'replace')
    except LookupError: t = raw.decode('latin-1')
    if p.get_content_type() == 'text/html':
        h = Text(); h.feed(t); h.close(); t = ' '.join(h.out)
    return t
def visit(p, out):
    ct = p.get_content_type()
    if p.is_multipart():
        subs = p.get_payload()
        if ct == 'multipart/alternative' and subs:
            plain = [s for s in subs if s.get_content_type() == 'text/plain']
            subs = plain if plain else subs[-1:]
        for s in subs: visit(s, out)
    elif p.get_content_maintype() == 'text':
        out.append(leaf_text(p))
def oracle(recs):
    res = []
    for raw in recs:
        m = email.message_from_bytes(raw, policy=policy.compat32)
        out = []
        visit(m, out)
        words = sorted(set(re.findall(r'[A-Za-z0-9]{3,}', ' '.join(out))))
        res.append('\n'.join(words).encode())
    return res
)PY";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Every message whose oracle text has words: its text is non-empty and holds each of them.
void ExpectWordsAsPython(const std::vector<std::string>& raws, const std::vector<std::string>& names) {
  const std::vector<std::string> expected = RunPythonOracle(kWordsOracle, raws);
  ASSERT_EQ(expected.size(), raws.size());
  int withText = 0;
  for (size_t i = 0; i < raws.size(); ++i) {
    if (expected[i].empty()) continue;
    ++withText;
    const std::string text = MessageText(raws[i]);
    EXPECT_FALSE(text.empty()) << names[i];
    const std::string upper = Upper(text);
    std::istringstream words(expected[i]);
    int missing = 0;
    for (std::string word; std::getline(words, word);) {
      if (upper.find(Upper(word)) == std::string::npos && ++missing <= 3) ADD_FAILURE() << names[i] << ": no \"" << word << "\"";
    }
  }
  EXPECT_GT(withText, 0);
}

std::string WithCRLF(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

const std::string kHead = "From: a@example.org\r\nTo: b@example.org\r\nSubject: t\r\nMIME-Version: 1.0\r\n";

struct TCase {
  const char* name;
  std::string raw;
  const char* present;  // must be in the text
  const char* absent;   // must not ("" for none)
};

const std::vector<TCase>& Cases() {
  static const std::vector<TCase> cases = {
      {"plain without content type", kHead + "\r\nplain heron text\r\n", "plain heron text", ""},
      {"HTML only", kHead + "Content-Type: text/html\r\n\r\n<html><head><style>p{color:red}</style></head><body><p>Heron &amp; egret</p><script>var hidden=1;</script></body></html>\r\n",
       "Heron & egret", "hidden"},
      {"HTML only in base64",
       kHead + "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\nPGI+Qml0dGVybjwvYj4gYm9vbWluZw==\r\n",
       "Bittern booming", "<b>"},
      {"enclosed message",
       kHead + "Content-Type: multipart/mixed; boundary=\"o\"\r\n\r\n--o\r\nContent-Type: text/plain\r\n\r\nsee below\r\n--o\r\n"
               "Content-Type: message/rfc822\r\n\r\nFrom: c@example.org\r\nSubject: inner\r\n\r\nforwarded moorhen\r\n--o--\r\n",
       "forwarded moorhen", ""},
      {"enclosed message alone", kHead + "Content-Type: message/rfc822\r\n\r\nSubject: x\r\nContent-Type: text/html\r\n\r\n<i>grebe</i>\r\n", "grebe", "<i>"},
      {"signed",
       kHead + "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\r\n\r\n"
               "--s\r\nContent-Type: text/plain\r\n\r\nsigned coot text\r\n--s\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\nTUlJQ0FBQUE=\r\n--s--\r\n",
       "signed coot text", "TUlJ"},
      {"RFC 2231 boundary", kHead + "Content-Type: multipart/mixed; boundary*=us-ascii'en'abc%2Ddef\r\n\r\n--abc-def\r\n\r\nrail call\r\n--abc-def--\r\n", "rail call", "--"},
      {"RFC 2231 continued boundary",
       kHead + "Content-Type: multipart/mixed;\r\n boundary*0=\"part\";\r\n boundary*1=\"two\"\r\n\r\n--parttwo\r\n\r\nwater rail\r\n--parttwo--\r\n", "water rail", "--"},
      {"nested multiparts",
       kHead + "Content-Type: multipart/mixed; boundary=a\r\n\r\n--a\r\nContent-Type: multipart/related; boundary=b\r\n\r\n--b\r\n"
               "Content-Type: multipart/alternative; boundary=c\r\n\r\n--c\r\nContent-Type: text/plain\r\n\r\nplain avocet\r\n--c\r\n"
               "Content-Type: text/html\r\n\r\n<p>html avocet only</p>\r\n--c--\r\n--b\r\nContent-Type: image/png\r\n\r\nPNGDATA\r\n--b--\r\n"
               "--a\r\nContent-Type: text/plain; name=notes.txt\r\nContent-Disposition: attachment\r\n\r\nattached stilt\r\n--a--\r\n",
       "plain avocet", "PNGDATA"},
      {"alternative without plain",
       kHead + "Content-Type: multipart/alternative; boundary=c\r\n\r\n--c\r\nContent-Type: text/html\r\n\r\n<p>shelduck</p>\r\n--c--\r\n", "shelduck", "<p>"},
      {"quoted-printable",
       kHead + "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nwhim=\r\nbrel =3D curlew\r\n", "whimbrel = curlew", ""},
      {"digest", kHead + "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n\r\ndigest dunlin\r\n--d--\r\n", "digest dunlin", "Subject"},
  };
  return cases;
}

TEST(MessageText, ArchivesTheTextOfAwkwardMessages) {
  for (const TCase& c : Cases()) {
    const std::string text = MessageText(c.raw);
    EXPECT_NE(text.find(c.present), std::string::npos) << c.name << ": " << text;
    if (*c.absent != 0) {
      EXPECT_EQ(text.find(c.absent), std::string::npos) << c.name << ": " << text;
    }
  }
  // The nested case keeps the attachment's text after the chosen rendering.
  const std::string nested = MessageText(Cases()[8].raw);
  EXPECT_NE(nested.find("attached stilt"), std::string::npos);
  EXPECT_EQ(nested.find("html avocet only"), std::string::npos);
}

TEST(MessageText, HoldsEveryWordPythonReadsFromTheTable) {
  std::vector<std::string> raws, names;
  for (const TCase& c : Cases()) {
    raws.push_back(c.raw);
    names.emplace_back(c.name);
  }
  ExpectWordsAsPython(raws, names);
}

TEST(MessageText, HoldsEveryWordPythonReadsFromItsTestCorpus) {
  const std::filesystem::path folder = "/usr/lib/python3.11/test/test_email/data";
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << "install libpython3.11-testsuite (scripts/setup.sh)";
  std::vector<std::string> raws, names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("msg_", 0) != 0 || entry.path().extension() != ".txt") continue;
    // As SMTP delivers it.
    raws.push_back(WithCRLF(ReadWholeFile(entry.path().string())));
    names.push_back(name);
  }
  ASSERT_GT(raws.size(), 40u);
  ExpectWordsAsPython(raws, names);
}

TEST(MessageText, ReadsParametersInEveryForm) {
  struct TParam {
    const char* value;
    const char* name;
    const char* expected;
  } params[] = {
      {"multipart/mixed; boundary=abc", "boundary", "abc"},
      {"multipart/mixed; BOUNDARY=\"a;b c\"", "boundary", "a;b c"},
      {"multipart/mixed; boundary=\"a\\\"b\"", "boundary", "a\"b"},
      {"multipart/mixed; xboundary=no; boundary=yes", "boundary", "yes"},
      {"multipart/mixed; boundary*=utf-8''%41%42c", "boundary", "ABc"},
      {"multipart/mixed; boundary*0=\"ab\"; boundary*1=cd; boundary*2*=%45", "boundary", "abcdE"},
      {"multipart/mixed; boundary*1=cd; boundary*0=ab", "boundary", "abcd"},
      {"multipart/mixed; boundary*0*=us-ascii'en'x%20y; boundary*1=z", "boundary", "x yz"},
      {"multipart/mixed; boundary*0=ab; boundary*2=ef", "boundary", "ab"},
      {"text/plain; charset=us-ascii", "boundary", ""},
      {"text/plain; name=; charset=\"iso-8859-1\"", "charset", "iso-8859-1"},
  };
  for (const TParam& p : params) EXPECT_EQ(HeaderParameter(p.value, p.name), p.expected) << p.value;
}

TEST(MessageText, TurnsHtmlIntoText) {
  struct THtml {
    const char* html;
    const char* expected;
  } cases[] = {
      {"a<b>b</b>c", "abc"},
      {"one<br>two", "one\r\ntwo"},
      {"x &lt; y &gt; z &#65;&#x42; &unknown;", "x < y > z AB &unknown;"},
      {"<a href=\"x>y\">link</a>", "link"},
      {"<!-- hidden -->shown", "shown"},
      {"<SCRIPT>if (a<b) x();</SCRIPT>after", "after"},
      {"1 < 2 and 3<4", "1 < 2 and 3<4"},
      {"<style", ""},
      {"caf&eacute;", "caf&eacute;"},
  };
  for (const THtml& c : cases) EXPECT_EQ(HtmlToText(c.html), c.expected) << c.html;
}

}  // namespace
}  // namespace tovenmarsh::mail
