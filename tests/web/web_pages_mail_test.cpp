// The mail administration pages over a small fixture: the golden page of every list and form,
// paging by "ls", a table of updates (insert, edit, remove, missing key, cancel, GET form) and
// their effect on the tables, updates refused without a POST and the session's form token,
// form input checked (and the form shown again) before it reaches the tables, a failing
// update that rolls back and gives its resource back, and hostile stored values that stay
// inert text.
#include <gtest/gtest.h>

#include "support/web_app_harness.h"
#include "support/web_test_support.h"
#include "web/app/web_app.h"

namespace tovenmarsh::web {
namespace {

namespace r = tovenmarsh::resources;
using S = std::string;

class MailPagesTest : public testing::WebAppTest {
 protected:
  void SetUp() override {
    WebAppTest::SetUp();
    Fill("Beta & <Co>");
  }
  void Fill(const std::string& betaName) {
    tables->Insert(r::piCompany, {{r::company::name, S("Acme")}});
    tables->Insert(r::piCompany, {{r::company::name, betaName}});
    tables->Insert(r::piDomain, {{r::domain::companyno, 1}, {r::domain::name, S("acme.example")}});
    tables->Insert(r::piDomain, {{r::domain::companyno, 2}, {r::domain::name, S("beta.example")}});
    tables->Insert(r::piAccount, {{r::account::no, 5}, {r::account::fullname, S("Ann Admin")},
                                  {r::account::pass, S("Secret")}, {r::account::level, 5},
                                  {r::account::active, true},
                                  {r::account::description, S("Boss \"A\"")}});
    tables->Insert(r::piAccount, {{r::account::no, 7}, {r::account::fullname, S("Bob")}});
    tables->Insert(r::piAlias, {{r::alias::name, S("postmaster")}, {r::alias::companyno, 1},
                                {r::alias::accountno, 5}, {r::alias::active, true}});
    tables->Insert(r::piAlias, {{r::alias::name, S("list")}, {r::alias::companyno, 1},
                                {r::alias::maillist, true}, {r::alias::description, S("All")}});
    tables->Insert(r::piAlias, {{r::alias::name, S("info")}, {r::alias::companyno, 2},
                                {r::alias::accountno, 7}});
    tables->Insert(r::piExtAccount, {{r::extaccount::mailserver, S("pop.example")},
                                     {r::extaccount::mailusr, S("ann")},
                                     {r::extaccount::accountno, 5},
                                     {r::extaccount::mailpass, S("pw")},
                                     {r::extaccount::interval, 15},
                                     {r::extaccount::leavecopy, true}});
    tables->Insert(r::piMaillist, {{r::maillist::name, S("list")}, {r::maillist::companyno, 1},
                                   {r::maillist::forwardusr, S("bob")},
                                   {r::maillist::forwarddomain, S("beta.example")},
                                   {r::maillist::fullname, S("Bob B")}});
  }
};

TEST_F(MailPagesTest, GoldenListsAndForms) {
  struct Page {
    const char* golden;
    const char* uri;
  } pages[] = {
      {"company_list.html", "/admin/mail/companies?action=10&steps=11;12&do=U"},
      {"company_form.html", "/admin/mail/companies?action=11&steps=12&do=U&key=2&comtag=2"},
      {"company_form_new.html", "/admin/mail/companies?action=11&steps=12&do=U"},
      {"domain_list.html", "/admin/mail/domains?action=20&steps=21;22&do=U&key=1&comtag=1"},
      {"domain_form.html", "/admin/mail/domains?action=21&steps=22&do=U&key=1;acme.example"},
      {"account_list.html", "/admin/mail/accounts?action=30&steps=31;32&do=U"},
      {"account_form.html", "/admin/mail/accounts?action=31&steps=32&do=U&key=5&acctag=5"},
      {"alias_list.html", "/admin/mail/aliases?action=40&steps=41;42&do=U&key=1&comtag=1"},
      {"alias_form.html", "/admin/mail/aliases?action=41&steps=42&do=U&key=postmaster;1"},
      {"popmail_list.html", "/admin/mail/popmails?action=50&steps=51;52&do=U&key=5&acctag=5"},
      {"popmail_form.html", "/admin/mail/popmails?action=51&steps=52&do=U&key=pop.example;ann;5"},
      {"maillist_list.html", "/admin/mail/maillist?action=60&steps=61;62&do=U&key=list;1"},
      {"maillist_form.html",
       "/admin/mail/maillist?action=61&steps=62&do=U&key=list;1;bob;beta.example"},
  };
  for (const Page& page : pages) {
    Request(std::string("GET ") + page.uri);
    EXPECT_EQ(exceptionText, "") << page.uri;
    ExpectGolden(page.golden, Body());
  }
  const std::vector<int> all(9, 4);
  EXPECT_EQ(tables->FreeSlots(), all);
}

TEST_F(MailPagesTest, ListPagesOfTwelve) {
  for (int i = 3; i <= 30; ++i) {
    tables->Insert(r::piCompany, {{r::company::name, "C" + std::to_string(i)}});
  }
  struct Case {
    const char* ls;
    int rows;
    const char* first;
    bool prev, next;
  } cases[] = {
      {"", 12, ">Acme<", false, true},
      {"12", 12, ">C13<", true, true},
      {"24", 6, ">C25<", true, false},
      {"-5", 12, ">Acme<", false, true},
      {"99", 0, nullptr, true, false},
  };
  for (const Case& c : cases) {
    Request(std::string("GET /admin/mail/companies?action=10&ls=") + c.ls);
    const std::string body = Body();
    int rows = -1;  // the header row
    for (size_t at = body.find("<tr>"); at != std::string::npos; at = body.find("<tr>", at + 1)) {
      ++rows;
    }
    rows -= (c.prev || c.next) ? 1 : 0;  // the link bar's row
    EXPECT_EQ(rows, c.rows) << c.ls;
    if (c.first != nullptr) {
      EXPECT_NE(body.find(c.first), std::string::npos) << c.ls;
    }
    EXPECT_EQ(body.find(">Prev<") != std::string::npos, c.prev) << c.ls;
    EXPECT_EQ(body.find(">Next<") != std::string::npos, c.next) << c.ls;
  }
  Request("GET /admin/mail/companies?action=10&ls=12");
  EXPECT_NE(Body().find("href=\"http://mail.example/admin/mail/companies?ls=0&action=10\""),
            std::string::npos);
  EXPECT_NE(Body().find("href=\"http://mail.example/admin/mail/companies?ls=24&action=10\""),
            std::string::npos);
}

TEST_F(MailPagesTest, Updates) {
  struct Case {
    const char* request;
    const char* body;
    int pool;
    std::vector<std::string> rows;
    bool redirects = true;  // to the site root, after the update
  } cases[] = {
      {"POST /admin/mail/companies?action=12&do=U", "Name=New+Co&Postmaster=ON&Perform=OK",
       r::piCompany, {"1|Acme|F|T", "2|Beta & <Co>|F|T", "3|New Co|T|F"}},
      {"POST /admin/mail/companies?action=12&do=U&key=1", "Name=Acme+Ltd&Bounce=ON",
       r::piCompany, {"1|Acme Ltd|F|T", "2|Beta & <Co>|F|T"}},
      // A GET changes nothing: it shows the form that would post the update.
      {"GET /admin/mail/companies?action=12&do=U&key=1&Name=Via%20Get", "", r::piCompany,
       {"1|Acme|F|T", "2|Beta & <Co>|F|T"}, false},
      {"POST /admin/mail/companies?action=12&do=R&key=99", "Perform=OK", r::piCompany,
       {"1|Acme|F|T", "2|Beta & <Co>|F|T"}},
      {"POST /admin/mail/companies?action=12&do=U&key=1", "Name=X&Perform=Cancel", r::piCompany,
       {"1|Acme|F|T", "2|Beta & <Co>|F|T"}},
      {"POST /admin/mail/domains?action=22&do=U&key=2", "Name=new.example", r::piDomain,
       {"1|acme.example", "2|beta.example", "2|new.example"}},
      {"POST /admin/mail/domains?action=22&do=R&key=1;acme.example", "", r::piDomain,
       {"2|beta.example"}},
      // A domain is found by name only when it belongs to the company of the key.
      {"POST /admin/mail/domains?action=22&do=R&key=2;acme.example", "", r::piDomain,
       {"1|acme.example", "2|beta.example"}},
      {"POST /admin/mail/accounts?action=32&do=U", "No=9&Name=Cy&Password=pw&Level=&Active=ON",
       r::piAccount, {"5|Ann Admin|Secret|Boss \"A\"||5|T|", "7|Bob||||||", "9|Cy|pw|||0|T|"}},
      {"POST /admin/mail/aliases?action=42&do=U&key=7&acctag=7&comtag=2", "Name=sales",
       r::piAlias,
       {"postmaster|1|5||T||", "list|1||All||T|", "info|2|7||||", "sales|2|7||F|F|F"}},
      {"POST /admin/mail/aliases?action=42&do=U&key=postmaster;1", "Name=postmaster&Active=ON",
       r::piAlias, {"postmaster|1|5||T|F|F", "list|1||All||T|", "info|2|7||||"}},
      {"POST /admin/mail/popmails?action=52&do=U&key=7&acctag=7",
       "Mailserver=pop.b&User=bob&Leave+copy=ON&Interval=5&Remove+after=3", r::piExtAccount,
       {"pop.example|ann|pw|5|T||15||", "pop.b|bob||7|T|3|5||F"}},
      {"POST /admin/mail/maillist?action=62&do=U&key=list;1",
       "Forward+User=cy&Forward+Domain=c.example&Name=Cy", r::piMaillist,
       {"list|1|bob|beta.example|Bob B|", "list|1|cy|c.example|Cy|"}},
  };
  for (const Case& c : cases) {
    tables = std::make_unique<testing::TWebTestTables>();
    Fill("Beta & <Co>");
    Request(c.request, c.body);
    EXPECT_EQ(exceptionText, "") << c.request;
    EXPECT_EQ(system->Session().RedirectURL, c.redirects ? "http://mail.example/" : "") << c.request;
    EXPECT_EQ(tables->Dump(c.pool), c.rows) << c.request;
  }
}

// The first link (or form action) of the page whose text follows it.
std::string LinkBefore(const std::string& body, const std::string& text) {
  const size_t at = body.find(text);
  if (at == std::string::npos) return "";
  const size_t href = body.rfind("=\"http://", at);
  if (href == std::string::npos) return "";
  const size_t end = body.find('"', href + 2);
  return body.substr(href + 2, end - href - 2);
}

TEST_F(MailPagesTest, MenuWalkMakesANewAlias) {
  // "Make new alias": company list, account list, alias form, update; each step by its link.
  Request("GET /admin/mail/aliases?action=10&steps=30;41;42&do=U");
  std::string url = LinkBefore(Body(), ">Beta &amp; &lt;Co&gt;</a>");
  EXPECT_EQ(url, "http://mail.example/admin/mail/aliases?key=2&comtag=2&action=30&"
                 "steps=41;42&do=U");
  Request("GET " + url);
  url = LinkBefore(Body(), ">7</a>");
  EXPECT_EQ(url, "http://mail.example/admin/mail/aliases?key=7&acctag=7&action=41&steps=42&"
                 "do=U&comtag=2");
  Request("GET " + url);
  EXPECT_NE(Body().find("Enter the alias info in the form."), std::string::npos);
  url = LinkBefore(Body(), "<hr");
  EXPECT_EQ(url, "http://mail.example/admin/mail/aliases?key=7&action=42&do=U&acctag=7&"
                 "comtag=2");
  Request("POST " + url, "Name=sales&Description=Sales+%26+more&Active=ON&Perform=OK");
  EXPECT_EQ(exceptionText, "");
  EXPECT_EQ(tables->Dump(r::piAlias).back(), "sales|2|7|Sales & more|T|F|F");
  EXPECT_EQ(system->Session().StatusIndex, kStatusSeeOther);
}

TEST_F(MailPagesTest, RemovingACompanyCascades) {
  Request("POST /admin/mail/companies?action=12&do=R&key=1", "Perform=OK");
  EXPECT_EQ(exceptionText, "");
  EXPECT_EQ(tables->Dump(r::piCompany), std::vector<std::string>{"2|Beta & <Co>|F|T"});
  EXPECT_EQ(tables->Dump(r::piDomain), std::vector<std::string>{"2|beta.example"});
  EXPECT_EQ(tables->Dump(r::piAlias), std::vector<std::string>{"info|2|7||||"});
  EXPECT_EQ(tables->Count(r::piMaillist), 0);
}

TEST_F(MailPagesTest, AFailingUpdateRollsBack) {
  const std::vector<std::string> before = tables->Dump(r::piAccount);
  const std::vector<int> slots = tables->FreeSlots();
  pageTemplate = "<div>#content</div><#CONTENT>";
  tables->Store(r::piAccount).failPostAfter = tables->Store(r::piAccount).posts;
  Request("POST /admin/mail/accounts?action=32&do=U&key=5", "No=5&Name=Changed&Active=ON");
  EXPECT_EQ(exceptionText, "Injected write failure");
  EXPECT_NE(Body().find("Injected write failure"), std::string::npos);
  EXPECT_EQ(tables->Dump(r::piAccount), before);
  EXPECT_EQ(tables->FreeSlots(), slots);
  // A second account 7 never reaches the table: the form comes back saying so.
  tables->Store(r::piAccount).failPostAfter = -1;
  Request("POST /admin/mail/accounts?action=32&do=U&key=5", "No=7&Name=Dup");
  EXPECT_EQ(exceptionText, "");
  EXPECT_NE(Body().find("Another entry has this key already (7)"), std::string::npos) << Body();
  EXPECT_EQ(tables->Dump(r::piAccount), before);
  // The resource is clean for the next borrower: the next update goes through.
  Request("POST /admin/mail/accounts?action=32&do=U&key=5", "No=5&Name=Fine");
  EXPECT_EQ(exceptionText, "");
  EXPECT_EQ(tables->Dump(r::piAccount)[0], "5|Fine||||0|F|");
}

TEST_F(MailPagesTest, KeyFieldsRefuseTheSeparator) {
  const std::vector<std::string> before = tables->Dump(r::piAlias);
  Request("POST /admin/mail/aliases?action=42&do=U&key=postmaster;1", "Name=a%3Bb&Perform=OK");
  EXPECT_EQ(exceptionText, "");
  EXPECT_NE(Body().find("&quot;Name&quot; must not contain &quot;;&quot;."), std::string::npos) << Body();
  EXPECT_EQ(tables->Dump(r::piAlias), before);
  // Outside the key a ";" is plain data.
  Request("POST /admin/mail/aliases?action=42&do=U&key=postmaster;1",
          "Name=postmaster&Description=a%3Bb&Perform=OK");
  EXPECT_EQ(exceptionText, "");
  EXPECT_EQ(tables->Dump(r::piAlias).front(), "postmaster|1|5|a;b|F|F|F");
}

// The form's action URL and its hidden token field, from a page.
struct TPostedForm {
  std::string action;
  std::string token;
};
TPostedForm FormOf(const std::string& body) {
  TPostedForm form;
  const size_t at = body.find("<form method=\"POST\" action=\"http://mail.example");
  if (at == std::string::npos) return form;
  const size_t from = at + 28 + 19;  // after the host
  form.action = body.substr(from, body.find('"', from) - from);
  const std::string field = "name=\"token\" value=\"";
  const size_t token = body.find(field, at);
  if (token != std::string::npos) form.token = body.substr(token + field.size(), 32);
  return form;
}

TEST_F(MailPagesTest, OnlyAPostWithTheSessionsTokenChangesData) {
  const std::vector<std::string> before = tables->Dump(r::piCompany);
  sendToken = false;
  // Links and forged requests: GET never changes anything.
  for (const char* uri : {"/admin/mail/companies?action=12&do=R&key=1",
                          "/admin/mail/companies?action=12&do=U&key=1&Name=Evil",
                          "/?action=12&do=R&key=1"}) {
    Request(std::string("GET ") + uri);
    EXPECT_EQ(system->Session().StatusIndex, kStatusOK) << uri;
    EXPECT_EQ(tables->Dump(r::piCompany), before) << uri;
  }
  const std::string mine = Token();
  const std::string other = sessions->StartAnonymous();
  const std::string otherToken = sessions->FindById(other).Token;
  const struct {
    const char* label;
    std::string body;
    std::string cookie;
  } kRefused[] = {
      {"no token", "Perform=OK", cookie},
      {"a wrong token", "Perform=OK&token=" + std::string(32, 'a'), cookie},
      {"the token of another session", "Perform=OK&token=" + otherToken, cookie},
      {"the token without its cookie", "Perform=OK&token=" + mine, ""},
      {"the token in the query only", "Perform=OK", cookie},
  };
  for (const auto& c : kRefused) {
    cookie = c.cookie;
    const std::string query = std::string(c.label) == "the token in the query only" ? "&token=" + mine : "";
    Request("POST /admin/mail/companies?action=12&do=R&key=1" + query, c.body);
    EXPECT_EQ(system->Session().StatusIndex, kStatusForbidden) << c.label;
    EXPECT_NE(system->Session().ErrorText.find("nothing was changed"), std::string::npos) << c.label;
    EXPECT_EQ(system->Session().RedirectURL, "") << c.label;
    EXPECT_EQ(tables->Dump(r::piCompany), before) << c.label;
  }

  // The menu's "Remove company" walk: the list's link shows the row with a form, and that
  // form, sent back with its token, removes it.
  cookie = "";
  Request("GET /admin/mail/companies?action=12&do=R&key=1");
  EXPECT_NE(Body().find("<h1>Press OK to remove this entry, or Cancel to keep it.</h1>"), std::string::npos)
      << Body();
  EXPECT_NE(Body().find(">Acme</td>"), std::string::npos);
  EXPECT_EQ(Body().find("<input type=\"text\""), std::string::npos) << "the row is shown, not edited";
  const TPostedForm remove = FormOf(Body());
  EXPECT_EQ(remove.action, "/admin/mail/companies?key=1&action=12&do=R");
  ASSERT_FALSE(cookie.empty()) << "the page started a session for its form";
  EXPECT_EQ(remove.token, sessions->FindById(cookie).Token);
  Request("POST " + remove.action, "Perform=OK&token=" + remove.token);
  EXPECT_EQ(system->Session().StatusIndex, kStatusSeeOther);
  EXPECT_EQ(tables->Dump(r::piCompany), std::vector<std::string>{"2|Beta & <Co>|F|T"});

  // An update asked for by GET shows the row's form, posting to that update.
  Request("GET /admin/mail/companies?action=12&do=U&key=2&Name=Evil");
  EXPECT_NE(Body().find("<h1>Enter the company info in the form.</h1>"), std::string::npos);
  const TPostedForm edit = FormOf(Body());
  EXPECT_EQ(edit.action, "/admin/mail/companies?key=2&action=12&do=U");
  EXPECT_NE(Body().find("value=\"Beta &amp; &lt;Co&gt;\""), std::string::npos);
  Request("POST " + edit.action, "Name=Beta&Bounce=ON&Perform=OK&token=" + edit.token);
  EXPECT_EQ(tables->Dump(r::piCompany), std::vector<std::string>{"2|Beta|F|T"});
}

TEST_F(MailPagesTest, FormInputIsCheckedBeforeTheTables) {
  const struct {
    const char* request;
    const char* body;
    int pool;
    const char* message;
    const char* shownAgain;  // a value of the form as it comes back
  } kCases[] = {
      {"/admin/mail/accounts?action=32&do=U", "No=&Name=Cy", r::piAccount, "Enter &quot;No&quot;.",
       "value=\"Cy\""},
      {"/admin/mail/accounts?action=32&do=U", "No=x9&Name=Cy", r::piAccount,
       "Enter &quot;No&quot; as a whole number above 0.", "value=\"x9\""},
      {"/admin/mail/accounts?action=32&do=U", "No=0", r::piAccount,
       "Enter &quot;No&quot; as a whole number above 0.", "value=\"0\""},
      {"/admin/mail/accounts?action=32&do=U", "No=99999999999", r::piAccount,
       "Enter &quot;No&quot; as a whole number above 0.", "value=\"99999999999\""},
      {"/admin/mail/accounts?action=32&do=U", "No=7&Name=Twin&Active=ON", r::piAccount,
       "Another entry has this key already (7)", "checked"},
      {"/admin/mail/accounts?action=32&do=U&key=5", "No=7&Name=Ann", r::piAccount,
       "Another entry has this key already (7)", "value=\"Ann\""},
      {"/admin/mail/accounts?action=32&do=U&key=5", "No=5&Level=high", r::piAccount,
       "Enter &quot;Level&quot; as a whole number.", "value=\"high\""},
      {"/admin/mail/companies?action=12&do=U&key=1", "Name=", r::piCompany, "Enter &quot;Name&quot;.",
       "value=\"\""},
      {"/admin/mail/companies?action=12&do=U", "Name=123456789012345678901234567890123456789012345678901",
       r::piCompany, "&quot;Name&quot; takes at most 50 characters.", "value=\"1234567890"},
      // Domain names are unique whatever their case, in any company.
      {"/admin/mail/domains?action=22&do=U&key=2", "Name=ACME.example", r::piDomain,
       "Another entry has this key already (2;ACME.example)", "value=\"ACME.example\""},
      {"/admin/mail/aliases?action=42&do=U", "Name=sales", r::piAlias,
       "This form lacks the entry it belongs to", "value=\"sales\""},
      {"/admin/mail/popmails?action=52&do=U&key=5&acctag=5", "Mailserver=pop.example&User=ANN",
       r::piExtAccount, "Another entry has this key already", "value=\"ANN\""},
      {"/admin/mail/popmails?action=52&do=U&key=5&acctag=5", "Mailserver=p&User=u&Interval=5m",
       r::piExtAccount, "Enter &quot;Interval&quot; as a whole number.", "value=\"5m\""},
      {"/admin/mail/maillist?action=62&do=U&key=list;1", "Forward+User=&Forward+Domain=x.example",
       r::piMaillist, "Enter &quot;Forward User&quot;.", "value=\"x.example\""},
  };
  for (const auto& c : kCases) {
    tables = std::make_unique<testing::TWebTestTables>();
    Fill("Beta & <Co>");
    const std::vector<std::string> before = tables->Dump(c.pool);
    Request(std::string("POST ") + c.request, std::string(c.body) + "&Perform=OK");
    EXPECT_EQ(exceptionText, "") << c.request << " " << c.body;
    EXPECT_EQ(system->Session().StatusIndex, kStatusOK) << c.request << " " << c.body;
    EXPECT_EQ(system->Session().RedirectURL, "") << c.request << " " << c.body;
    EXPECT_EQ(tables->Dump(c.pool), before) << c.request << " " << c.body;
    const std::string body = Body();
    EXPECT_NE(body.find("<p class=\"ErrorTextStyle\">" + std::string(c.message)), std::string::npos)
        << c.request << " " << c.body << "\n" << body;
    EXPECT_NE(body.find(c.shownAgain), std::string::npos) << c.request << " " << c.body;
    // The form comes back under its own description and posts to the same update.
    EXPECT_EQ(body.find("updated"), std::string::npos) << body;
    EXPECT_EQ(FormOf(body).action.substr(0, std::string(c.request).find('?')),
              std::string(c.request).substr(0, std::string(c.request).find('?')));
    EXPECT_EQ(tables->FreeSlots(), std::vector<int>(9, 4)) << c.request;
  }
  // Editing a row without changing its key is no clash with itself (other letter case too).
  Request("POST /admin/mail/aliases?action=42&do=U&key=postmaster;1", "Name=POSTMASTER&Perform=OK");
  EXPECT_EQ(system->Session().RedirectURL, "http://mail.example/") << Body();
  EXPECT_EQ(tables->Dump(r::piAlias).front().substr(0, 13), "POSTMASTER|1|");
}

TEST_F(MailPagesTest, HostileStoredValuesStayText) {
  const char* uris[] = {
      "/admin/mail/companies?action=10",
      "/admin/mail/companies?action=11&key=2",
      "/admin/mail/aliases?action=40&key=2",
  };
  std::vector<std::string> benign;
  tables = std::make_unique<testing::TWebTestTables>();
  Fill("x");
  tables->Insert(r::piAlias, {{r::alias::name, S("x")}, {r::alias::companyno, 2},
                              {r::alias::description, S("x")}});
  for (const char* uri : uris) {
    Request(std::string("GET ") + uri);
    benign.push_back(testing::MarkupSkeleton(Body()));
  }
  tables = std::make_unique<testing::TWebTestTables>();
  Fill(testing::kHostileValue);
  tables->Insert(r::piAlias, {{r::alias::name, S(testing::kHostileValue)},
                              {r::alias::companyno, 2},
                              {r::alias::description, S(testing::kHostileValue)}});
  for (size_t i = 0; i < std::size(uris); ++i) {
    Request(std::string("GET ") + uris[i]);
    EXPECT_EQ(testing::MarkupSkeleton(Body()), benign[i]) << uris[i];
    EXPECT_EQ(Body().find("<script"), std::string::npos) << uris[i];
  }
}

}  // namespace
}  // namespace tovenmarsh::web
