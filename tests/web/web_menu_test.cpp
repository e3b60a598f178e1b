// The application's menu: ordering of entries, the exact script of a small menu, and the
// script of the real menu loaded into Node.js, whose HM_Array globals must have the shape the
// client-side menu expects.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/system_parameters.h"
#include "support/web_test_support.h"
#include "web/app/web_menu.h"

namespace tovenmarsh::web {
namespace {

class WebMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = core::SystemParameters().GetString("WebServer");
    core::SystemParameters().SetString("WebServer", "h");
  }
  void TearDown() override { core::SystemParameters().SetString("WebServer", saved_); }
  std::string saved_;
};

TEST_F(WebMenuTest, EntryPathsAndSorting) {
  TJavaScriptMenu menu;
  const TWebMenuEntry& root = menu.AddEntry("", "Root", "", "", "");
  EXPECT_EQ(root.Path, "/");
  EXPECT_EQ(root.Depth, 1);
  EXPECT_EQ(root.ParentPath, "/");
  const TWebMenuEntry& deep = menu.AddEntry("/admin/system/statistics", "S", "", "", "");
  EXPECT_EQ(deep.Depth, 3);
  EXPECT_EQ(deep.ParentPath, "/admin/system");

  TWebMenu sorted;
  for (const char* path : {"/search", "/admin/system/statistics/server", "/admin/mail",
                           "/Admin/mail/aliases", "/admin", "/admin/system/statistics",
                           "/admin/mail/accounts", "/admin/system/statistics/logfile", "/ab",
                           "/admin/system"}) {
    sorted.AddEntry(path, path, "", "", "");
  }
  sorted.Sort();
  std::string order;
  for (int i = 0; i < sorted.Count(); ++i) order += sorted.Entry(i).Path + " ";
  // Components compare upper-cased over the shorter one's length ("B" < "D" puts "/ab" first);
  // when they agree, the smaller depth comes first.
  EXPECT_EQ(order,
            "/ab /admin /admin/mail /admin/mail/accounts /Admin/mail/aliases /admin/system "
            "/admin/system/statistics /admin/system/statistics/logfile "
            "/admin/system/statistics/server /search ");

  TWebMenuEntry a, b;
  a.Path = "/adm";
  a.Depth = 1;
  b.Path = "/admin/x";
  b.Depth = 2;
  EXPECT_LT(TWebMenu::CompareEntries(a, b), 0);  // no difference over "adm": depth decides
  EXPECT_GT(TWebMenu::CompareEntries(b, a), 0);
  b.Path = "/ADMIN";
  b.Depth = 1;
  EXPECT_EQ(TWebMenu::CompareEntries(a, b), 0);
}

TEST_F(WebMenuTest, GoldenScript) {
  TJavaScriptMenu empty;
  EXPECT_EQ(empty.GetScript(), "");

  TJavaScriptMenu menu;
  menu.AddEntry("/search", "Search", "", "", "Search in Documents");
  TWebMenuEntry& mail = menu.AddEntry("/admin/mail", "Mail", "", "", "Mail Setup");
  menu.AddSubEntry(mail, "Make new", "U", "12", "11");
  menu.AddEntry("/admin", "Admin", "", "", "Administration");
  menu.AddEntry("/admin/x", "X \"quoted\" </script>", "2;3", "1", "");
  menu.Sort();
  EXPECT_EQ(menu.GetScript(),
            "\r\nHM_Array1 = [\r\n[,29,78,,,,,,,1,1,0,1,0,1,,,]"
            ",\r\n[\"Admin\",\"http://h/admin\",1,0,1]"
            ",\r\n[\"Search\",\"http://h/search\",1,0,0]"
            "\r\n]\r\n"
            "\r\nHM_Array1_1 = [\r\n[]"
            ",\r\n[\"Mail\",\"http://h/admin/mail\",1,0,1]"
            ",\r\n[\"X \\\"quoted\\\" \\x3C/script\\x3E\",\"http://h/admin/x?action=1&steps=2;3\",1,0,0]"
            "\r\n]\r\n"
            "\r\nHM_Array1_1_1 = [\r\n[]"
            ",\r\n[\"Make new\",\"http://h/admin/mail?action=11&steps=12&do=U\",1,0,0]"
            "\r\n]\r\n");
}

// The menu the application builds: its entries and sub-entries.
void BuildApplicationMenu(TJavaScriptMenu& menu) {
  struct Entry {
    const char *path, *caption, *description, *action, *steps;
  } entries[] = {
      {"/admin", "Admin", "Administration", "", ""},
      {"/admin/mail", "Mail", "Mail Setup", "", ""},
      {"/admin/mail/companies", "Companies", "Maintain Companies", "", ""},
      {"/admin/mail/domains", "Domains", "Maintain Domains", "", ""},
      {"/admin/mail/accounts", "Accounts", "Maintain Accounts", "", ""},
      {"/admin/mail/aliases", "Aliases", "Maintain Aliases", "", ""},
      {"/admin/mail/popmails", "Popmails", "Maintain Popmails", "", ""},
      {"/admin/mail/maillist", "Maillist Entries", "Maintain Maillist Entries", "", ""},
      {"/admin/system", "System", " System Setup", "", ""},
      {"/admin/system/config", "Config", "Configure System Parameters", "101", "102"},
      {"/admin/system/database", "Database", "Configure Database Parameters", "111", "112"},
      {"/admin/system/statistics", "Statistics", "System Statistics", "", ""},
      {"/admin/system/statistics/server", "Server", "View connection statistics", "120", ""},
      {"/admin/system/statistics/logfile", "Logfile", "View logfile", "130", ""},
      {"/search", "Search", "Search in Documents", "", ""},
  };
  struct Sub {
    const char *entry, *caption, *doCode, *action, *steps;
  } subs[] = {
      {"companies", "Make new company", "U", "11", "12"},
      {"companies", "Edit company info", "U", "10", "11;12"},
      {"companies", "Remove company", "R", "10", "12"},
      {"domains", "Make new domain", "U", "10", "21;22"},
      {"domains", "Edit domain info", "U", "10", "20;21;22"},
      {"domains", "Remove domain", "R", "10", "20;22"},
      {"accounts", "Make new account", "U", "31", "32"},
      {"accounts", "Edit account info", "U", "30", "31;32"},
      {"accounts", "Remove account", "R", "30", "32"},
      {"aliases", "Make new alias", "U", "10", "30;41;42"},
      {"aliases", "Edit alias info", "U", "10", "40;41;42"},
      {"aliases", "Remove alias", "R", "10", "40;42"},
      {"popmails", "Make new popmail", "U", "30", "51;52"},
      {"popmails", "Edit popmail info", "U", "30", "50;51;52"},
      {"popmails", "Remove popmail", "R", "30", "50;52"},
      {"maillist", "Make new maillist", "U", "10", "40;61;62"},
      {"maillist", "Edit maillist info", "U", "10", "40;60;61;62"},
      {"maillist", "Remove maillist", "R", "10", "40;60;62"},
  };
  std::map<std::string, TWebMenuEntry*> byName;
  for (const auto& e : entries) {
    TWebMenuEntry& entry = menu.AddEntry(e.path, e.caption, e.steps, e.action, e.description);
    const std::string path = e.path;
    byName[path.substr(path.rfind('/') + 1)] = &entry;
  }
  for (const auto& s : subs) {
    menu.AddSubEntry(*byName.at(s.entry), s.caption, s.doCode, s.steps, s.action);
  }
  menu.Sort();
}

// Loads the script into a fresh global object and describes every HM_Array global: its
// header element, then one line per item (caption, URL, the two fixed flags and the sub-array
// flag), checking that each element has the item shape.
const char* const kNodeScript = R"(
const vm = require('vm');
const fs = require('fs');
const code = fs.readFileSync(0, 'latin1');
const context = {};
vm.createContext(context);
vm.runInContext(code, context);
const names = Object.keys(context).filter(n => n.startsWith('HM_Array')).sort();
for (const name of names) {
  const array = context[name];
  if (!Array.isArray(array)) { console.log(name + ' NOT-AN-ARRAY'); continue; }
  const header = array[0];
  const described = Array.from(header, v => v === undefined ? '' : String(v)).join(',');
  console.log(name + ' header=[' + described + '] length=' + header.length);
  for (const item of array.slice(1)) {
    const ok = Array.isArray(item) && item.length === 5 && typeof item[0] === 'string' &&
               typeof item[1] === 'string' && item[2] === 1 && item[3] === 0 &&
               (item[4] === 0 || item[4] === 1);
    console.log('  ' + (ok ? '' : 'BAD ') + item[0] + ' | ' + item[1] + ' | ' + item[4]);
  }
}
)";

TEST_F(WebMenuTest, ApplicationMenuLoadsIntoNode) {
  int exitCode = -1;
  testing::RunProgram("node --version", "", &exitCode);
  ASSERT_EQ(exitCode, 0) << "node is not installed (scripts/setup.sh installs nodejs)";

  TJavaScriptMenu menu;
  BuildApplicationMenu(menu);
  const std::string script = menu.GetScript();

  char path[] = "/tmp/tm_web_menu_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kNodeScript, strlen(kNodeScript)), static_cast<ssize_t>(strlen(kNodeScript)));
  close(fd);
  const std::string output = testing::RunProgram(std::string("node ") + path, script, &exitCode);
  unlink(path);
  ASSERT_EQ(exitCode, 0) << output;

  const std::string top = "header=[,29,78,,,,,,,1,1,0,1,0,1,,] length=17";
  const std::string sub = "header=[] length=0";
  const std::string m = "http://h/admin/mail/";
  EXPECT_EQ(output,
            "HM_Array1 " + top + "\n"
            "  Admin | http://h/admin | 1\n"
            "  Search | http://h/search | 0\n"
            "HM_Array1_1 " + sub + "\n"
            "  Mail | http://h/admin/mail | 1\n"
            "  System | http://h/admin/system | 1\n"
            "HM_Array1_1_1 " + sub + "\n"
            "  Accounts | " + m + "accounts | 1\n"
            "  Aliases | " + m + "aliases | 1\n"
            "  Companies | " + m + "companies | 1\n"
            "  Domains | " + m + "domains | 1\n"
            "  Maillist Entries | " + m + "maillist | 1\n"
            "  Popmails | " + m + "popmails | 1\n"
            "HM_Array1_1_1_1 " + sub + "\n"
            "  Make new account | " + m + "accounts?action=31&steps=32&do=U | 0\n"
            "  Edit account info | " + m + "accounts?action=30&steps=31;32&do=U | 0\n"
            "  Remove account | " + m + "accounts?action=30&steps=32&do=R | 0\n"
            "HM_Array1_1_1_2 " + sub + "\n"
            "  Make new alias | " + m + "aliases?action=10&steps=30;41;42&do=U | 0\n"
            "  Edit alias info | " + m + "aliases?action=10&steps=40;41;42&do=U | 0\n"
            "  Remove alias | " + m + "aliases?action=10&steps=40;42&do=R | 0\n"
            "HM_Array1_1_1_3 " + sub + "\n"
            "  Make new company | " + m + "companies?action=11&steps=12&do=U | 0\n"
            "  Edit company info | " + m + "companies?action=10&steps=11;12&do=U | 0\n"
            "  Remove company | " + m + "companies?action=10&steps=12&do=R | 0\n"
            "HM_Array1_1_1_4 " + sub + "\n"
            "  Make new domain | " + m + "domains?action=10&steps=21;22&do=U | 0\n"
            "  Edit domain info | " + m + "domains?action=10&steps=20;21;22&do=U | 0\n"
            "  Remove domain | " + m + "domains?action=10&steps=20;22&do=R | 0\n"
            "HM_Array1_1_1_5 " + sub + "\n"
            "  Make new maillist | " + m + "maillist?action=10&steps=40;61;62&do=U | 0\n"
            "  Edit maillist info | " + m + "maillist?action=10&steps=40;60;61;62&do=U | 0\n"
            "  Remove maillist | " + m + "maillist?action=10&steps=40;60;62&do=R | 0\n"
            "HM_Array1_1_1_6 " + sub + "\n"
            "  Make new popmail | " + m + "popmails?action=30&steps=51;52&do=U | 0\n"
            "  Edit popmail info | " + m + "popmails?action=30&steps=50;51;52&do=U | 0\n"
            "  Remove popmail | " + m + "popmails?action=30&steps=50;52&do=R | 0\n"
            "HM_Array1_1_2 " + sub + "\n"
            "  Config | http://h/admin/system/config?action=101&steps=102 | 0\n"
            "  Database | http://h/admin/system/database?action=111&steps=112 | 0\n"
            "  Statistics | http://h/admin/system/statistics | 1\n"
            "HM_Array1_1_2_3 " + sub + "\n"
            "  Logfile | http://h/admin/system/statistics/logfile?action=130 | 0\n"
            "  Server | http://h/admin/system/statistics/server?action=120 | 0\n");
}

}  // namespace
}  // namespace tovenmarsh::web
