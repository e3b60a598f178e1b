// Escaping of data values, links (MakeLink, BuildURL) and the ";"-lists of keys and steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/system_parameters.h"
#include "support/web_test_support.h"
#include "web/html/html_link.h"
#include "web/html/html_list.h"
#include "web/html/html_text.h"
#include "web/http/web_params.h"

namespace tovenmarsh::web {
namespace {

TEST(HTMLText, Escapes) {
  EXPECT_EQ(HTMLEscape("a<b>&\"c'#content"), "a&lt;b&gt;&amp;&quot;c&#39;&#35;content");
  EXPECT_EQ(HTMLEscape("line1\r\nline2"), "line1\r\nline2");
  EXPECT_EQ(TextToHTML("a\r\nb\nc\rd<br>"), "a<br>b<br>c<br>d&lt;br&gt;");
  EXPECT_EQ(TextToHTML("\r\n\r\n"), "<br><br>");
  EXPECT_EQ(HTMLAttribute("x\"y\r\nz#"), "x&quot;y&#13;&#10;z&#35;");
  EXPECT_EQ(LinkAttribute("h/p?a=1&b=\"<x>\"#newurl"), "h/p?a=1&b=&quot;&lt;x&gt;&quot;#newurl");
  EXPECT_EQ(JavaScriptString("a\"b\\c'</script>\r\n#"),
            "a\\\"b\\\\c\\'\\x3C/script\\x3E\\r\\n\\x23");
  EXPECT_EQ(ReplaceChar("a.b.c", '.', '-'), "a-b-c");
  EXPECT_EQ(SlashToBackslash("/a/b"), "\\a\\b");
  EXPECT_EQ(BackslashToSlash("\\a\\b"), "/a/b");
}

TEST(MakeLink, Table) {
  struct Case {
    std::string text, address, expected;
  } cases[] = {
      {"Acme", "", "Acme"},
      {"Mail", "user@example.com", "<a href=\"mailto:user@example.com\">Mail</a>"},
      {"first.last+tag@mail-1.example.org", "first.last+tag@mail-1.example.org",
       "<a href=\"mailto:first.last+tag@mail-1.example.org\">first.last+tag@mail-1.example.org</a>"},
      {"Next", "mail.example.com/admin/mail/companies?ls=12&#sameurl",
       "<a href=\"http://mail.example.com/admin/mail/companies?ls=12&#sameurl\">Next</a>"},
      // Only a bare address becomes mailto: keys and page links that hold "@" stay links.
      {"3", "mail.example.com/admin/mail/aliases?key=info@x.com;3&#newurl",
       "<a href=\"http://mail.example.com/admin/mail/aliases?key=info@x.com;3&#newurl\">3</a>"},
      {"x", "host/searchfor?text=a@b", "<a href=\"http://host/searchfor?text=a@b\">x</a>"},
      {"x", "a@b@c", "<a href=\"http://a@b@c\">x</a>"},
      {"x", "@b", "<a href=\"http://@b\">x</a>"},
      {"x", "a@", "<a href=\"http://a@\">x</a>"},
      {"x", "a b@c", "<a href=\"http://a b@c\">x</a>"},
      // Text and address are made inert.
      {"<b>\"#content\"</b>", "", "&lt;b&gt;&quot;&#35;content&quot;&lt;/b&gt;"},
      {"a\r\nb", "x\" onclick=\"y", "<a href=\"http://x&quot; onclick=&quot;y\">a<br>b</a>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeLink(c.text, c.address), c.expected) << c.address;
  }
  EXPECT_EQ(MakeLinkHTML("<font SIZE=\"-1\">x</font>", "h/p"),
            "<a href=\"http://h/p\"><font SIZE=\"-1\">x</font></a>");
}

class BuildURLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = core::SystemParameters().GetString("WebServer");
    core::SystemParameters().SetString("WebServer", "mail.example.com");
  }
  void TearDown() override { core::SystemParameters().SetString("WebServer", saved_); }
  std::string saved_;
};

TEST_F(BuildURLTest, Table) {
  using V = std::vector<std::string>;
  struct Case {
    std::string host, path;
    V names, values;
    std::string trailing;
    bool withHttp;
    std::string expected;
  } cases[] = {
      {"", "/admin/mail/domains", {}, {}, "#newurl", false, "mail.example.com/admin/mail/domains?#newurl"},
      {"", "search", {}, {}, "", true, "http://mail.example.com/search"},
      {"www.x.org", "/a", {"key", "comtag"}, {"3", "3"}, "#newurl", false,
       "www.x.org/a?key=3&comtag=3&#newurl"},
      {"h", "/a", {"action", "steps", "do"}, {"10", "11;12", "U"}, "", true,
       "http://h/a?action=10&steps=11;12&do=U"},
      {"h", "/a", {"action", "steps", "do"}, {"", "12", ""}, "", false, "h/a?steps=12"},  // empty values drop the pair
      {"h", "/a", {"a", "b"}, {"1"}, "#x", false, "h/a?#x"},  // lengths differ: no pairs
      // Values are percent-encoded: they cannot add parameters or leave the attribute.
      {"h", "/s", {"text"}, {"100% c++ & action=130 #content \"<x>\""}, "", false,
       "h/s?text=100%25%20c%2B%2B%20%26%20action%3D130%20%23content%20%22%3Cx%3E%22"},
      {"h", "/a", {"key"}, {"info@x.com;3"}, "", false, "h/a?key=info@x.com;3"},
      {"evil\"host", "/p a\"th#x", {}, {}, "", false, "evil%22host/p%20a%22th%23x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildURL(c.host, c.path, c.names, c.values, c.trailing, c.withHttp), c.expected)
        << c.expected;
  }
}

TEST_F(BuildURLTest, DecodesBackToTheSameParameters) {
  const std::vector<std::string> values = {"a&b=c", "100%", "c++", "x y", "#newurl", "\r\n\"'<>"};
  const std::string url = BuildURL("h", "/p", {"v0", "v1", "v2", "v3", "v4", "v5"}, values, "", false);
  TWebQuery query;
  query.SetText(url.substr(url.find('?') + 1));
  ASSERT_EQ(query.Count(), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(query.GetValue("v" + std::to_string(i)), values[i]);
}

TEST_F(BuildURLTest, FallsBackToTheShortHostName) {
  core::SystemParameters().SetString("WebServer", "");
  EXPECT_EQ(BuildURL("", "/x", {}, {}, "", true),
            "http://" + core::SystemParameters().ShortHostName() + "/x");
}

TEST(Lists, ItemsRestAndJoin) {
  struct Case {
    std::string text;
    int n;
    std::string item, rest;
  } cases[] = {
      {"11;12;13", 1, "11", "12;13"}, {"11;12;13", 2, "12", "13"}, {"11;12;13", 3, "13", ""},
      {"11;12;13", 4, "", ""},        {"11", 1, "11", ""},         {"", 1, "", ""},
      {"a;;c", 2, "", "c"},           {"a;b;", 3, "", ""},         {"a;b", 0, "", "a;b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetListItem(c.text, c.n), c.item) << c.text << " " << c.n;
    EXPECT_EQ(GetListRest(c.text, c.n), c.rest) << c.text << " " << c.n;
  }
  EXPECT_EQ(JoinValues({"3", "info", "x.com"}), "3;info;x.com");
  EXPECT_EQ(JoinValues({}), "");
}

}  // namespace
}  // namespace tovenmarsh::web
