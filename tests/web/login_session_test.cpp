// Login sessions: Basic credentials decoded strictly (Python's base64 as the encoder of the
// valid cases, a table of malformed ones), logins against an account table of three accounts,
// the idle purge at its boundary, the rule that a session never holds more than its account's
// level, random ids and form tokens, the bound on anonymous sessions, and the throttle of
// failed logins on an injected clock.
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "resources/account_control.h"
#include "support/web_test_support.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {
namespace {

struct TFakeAccounts {
  std::map<int, resources::TAccountRec> rows;
  int lookups = 0;
  void Add(int no, const std::string& pass, int level) {
    resources::TAccountRec rec;
    rec.no = no;
    rec.pass = pass;
    rec.level = level;
    rows[no] = rec;
  }
  // The account control's own rule: the number is the user name's first run of digits.
  TAccountLookup Lookup() {
    return [this](resources::TAccountRec& rec) {
      ++lookups;
      const int no = resources::TAccountControl::AccountNoFromName(rec.name);
      const auto it = rows.find(no);
      if (no == 0 || it == rows.end()) return false;
      const std::string name = rec.name;
      rec = it->second;
      rec.name = name;
      return true;
    };
  }
};

std::string Basic(const std::string& userColonPass) {
  static const char* const kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < userColonPass.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(userColonPass[i]) << 16 |
                       static_cast<unsigned char>(userColonPass[i + 1]) << 8 |
                       static_cast<unsigned char>(userColonPass[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i < userColonPass.size()) {
    unsigned v = static_cast<unsigned char>(userColonPass[i]) << 16;
    if (i + 1 < userColonPass.size()) v |= static_cast<unsigned char>(userColonPass[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < userColonPass.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return "Basic " + out;
}

TEST(BasicCredentials, DecodesWhatPythonEncodes) {
  // Random user:password pairs (any printable byte, ":" in the password included), encoded by
  // Python's base64, must decode to exactly the pair.
  std::mt19937 random(7);
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string input;
  for (int n = 0; n < 200; ++n) {
    std::string user, pass;
    const int userLength = 1 + static_cast<int>(random() % 12);
    const int passLength = static_cast<int>(random() % 20);
    for (int i = 0; i < userLength; ++i) user += static_cast<char>('!' + random() % 25);  // no ":"
    for (int i = 0; i < passLength; ++i) pass += static_cast<char>(32 + random() % 95);
    pairs.emplace_back(user, pass);
    std::string hex;
    for (unsigned char c : user + ":" + pass) {
      char buffer[3];
      snprintf(buffer, sizeof buffer, "%02x", c);
      hex += buffer;
    }
    input += hex + "\n";
  }
  const std::string encoded = testing::RunPython(
      "import sys, base64\n"
      "for line in sys.stdin.read().split():\n"
      "    print('Basic ' + base64.b64encode(bytes.fromhex(line)).decode())\n",
      input);
  std::istringstream lines(encoded);
  std::string line;
  for (const auto& [user, pass] : pairs) {
    ASSERT_TRUE(std::getline(lines, line));
    std::string gotUser, gotPass;
    ASSERT_TRUE(DecodeBasicCredentials(line, gotUser, gotPass)) << line;
    EXPECT_EQ(gotUser, user);
    EXPECT_EQ(gotPass, pass);
  }
}

TEST(BasicCredentials, MalformedTextNeverDecodes) {
  const std::string longToken(2000, 'A');
  const struct {
    const char* label;
    std::string text;
    bool ok;
    const char* user;
    const char* pass;
  } kCases[] = {
      {"plain", Basic("joe1:Secret"), true, "joe1", "Secret"},
      {"scheme in other case", "bAsIc " + Basic("joe1:x").substr(6), true, "joe1", "x"},
      {"unpadded last group", "Basic am9lMTp4", true, "joe1", "x"},
      {"empty password", Basic("joe1:"), true, "joe1", ""},
      {"other scheme", "Bearer " + Basic("joe1:x").substr(6), false, "", ""},
      {"scheme without blank", "Basicam9lMTp4", false, "", ""},
      {"no token", "Basic ", false, "", ""},
      {"scheme only", "Basic", false, "", ""},
      {"character outside the alphabet", "Basic am9l*TpTZWNyZXQ=", false, "", ""},
      {"padding in the middle", "Basic am9=MTpTZWNyZXQ=", false, "", ""},
      {"three padding characters", "Basic am9lMTp===", false, "", ""},
      {"padding short of a group", "Basic YWRtaW4xOlNlY3JldA=", false, "", ""},
      {"one stray character", "Basic am9lMTp4Y", false, "", ""},
      {"two tokens", "Basic am9lMTp4 am9lMTp4", false, "", ""},
      {"no colon", Basic("joe1"), false, "", ""},
      {"empty user", Basic(":Secret"), false, "", ""},
      {"control character", Basic(std::string("joe1:a\nb")), false, "", ""},
      {"NUL", Basic(std::string("joe1:a\0b", 8)), false, "", ""},
      {"over-long", "Basic " + longToken, false, "", ""},
      {"empty", "", false, "", ""},
  };
  for (const auto& c : kCases) {
    std::string user = "stale", pass = "stale";
    EXPECT_EQ(DecodeBasicCredentials(c.text, user, pass), c.ok) << c.label;
    EXPECT_EQ(user, c.user) << c.label;
    EXPECT_EQ(pass, c.pass) << c.label;
  }
}

class LoginSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    accounts.Add(1, "Secret", 5);  // an administrator
    accounts.Add(2, "plain", 1);   // a user
    accounts.Add(3, "colon:pw", 1);
  }
  TFakeAccounts accounts;
};

TEST_F(LoginSessionTest, LoginChecksAccountPasswordAndLevel) {
  TSessionSystem list(accounts.Lookup());
  const struct {
    const char* label;
    std::string credentials;
    int required;
    bool ok;
  } kCases[] = {
      {"admin", Basic("admin1:Secret"), 5, true},
      {"password in other letter case", Basic("admin1:sECRET"), 5, true},
      {"user below the area's level", Basic("user2:plain"), 2, false},
      {"user at the area's level", Basic("user2:plain"), 1, true},
      {"wrong password", Basic("admin1:Secret2"), 0, false},
      {"unknown account", Basic("x9:Secret"), 0, false},
      {"user name without digits", Basic("admin:Secret"), 0, false},
      {"password holding a colon", Basic("u3:colon:pw"), 1, true},
      {"first field of such a password only", Basic("u3:colon"), 1, false},
      {"malformed base64", "Basic YWRtaW4xOlNlY3JldA=*", 0, false},
      {"the cookie of a failed login", "", 0, false},
  };
  int expected = 0;
  for (const auto& c : kCases) {
    const std::string id = list.Login(c.credentials, c.required);
    EXPECT_EQ(!id.empty(), c.ok) << c.label;
    if (c.ok) {
      ++expected;
      const TSessionEntry entry = list.FindById(id);
      EXPECT_EQ(entry.Authorization, c.credentials) << c.label;
      EXPECT_EQ(entry.Id, id);
      EXPECT_EQ(list.FindByAuthorization(c.credentials).Id, id) << c.label;
    }
  }
  // No entry for a failed login; one per distinct valid credentials text.
  EXPECT_EQ(list.Count(), expected);
}

TEST_F(LoginSessionTest, UnknownLookupsAnswerTheDefaultEntry) {
  TSessionSystem list(accounts.Lookup());
  ASSERT_FALSE(list.Login(Basic("admin1:Secret"), 5).empty());
  for (const std::string& text : {std::string(), std::string("nope"), Basic("admin1:secreT")}) {
    const TSessionEntry entry = list.FindByAuthorization(text);
    EXPECT_EQ(entry.UserLevel, 0) << text;
    EXPECT_EQ(entry.Id, list.DefaultEntry().Id) << text;
    EXPECT_EQ(list.FindById(text).Id, list.DefaultEntry().Id) << text;
  }
}

TEST_F(LoginSessionTest, RepeatedLoginsKeepOneEntryWithTheAccountsCurrentLevel) {
  TSessionSystem list(accounts.Lookup());
  const std::string credentials = Basic("admin1:Secret");  // YWRtaW4xOlNlY3JldA==
  const std::string id = list.Login(credentials, 5);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(list.Login(credentials, 1), id);
  // Other spellings of the same credentials find the same entry and add none.
  for (const char* spelling : {"basic YWRtaW4xOlNlY3JldA==", "  BASIC   YWRtaW4xOlNlY3JldA  "}) {
    EXPECT_EQ(list.Login(spelling, 1), id) << spelling;
    EXPECT_EQ(list.FindByAuthorization(spelling).Id, id) << spelling;
  }
  EXPECT_EQ(CanonicalAuthorization(" basic YWRtaW4xOlNlY3JldA "), credentials);
  EXPECT_EQ(CanonicalAuthorization("Basic YWRt*"), "");
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.FindById(id).UserLevel, 5);

  // The account is lowered: the next check of these credentials lowers the session too, and
  // an area above the new level refuses them.
  accounts.rows[1].level = 1;
  EXPECT_EQ(list.Login(credentials, 1), id);
  EXPECT_EQ(list.FindByAuthorization(credentials).UserLevel, 1);
  EXPECT_EQ(list.Login(credentials, 5), "");
  EXPECT_EQ(list.FindByAuthorization(credentials).UserLevel, 1);
}

TEST_F(LoginSessionTest, PurgeDropsSessionsIdleForTenMinutes) {
  TSessionSystem list(accounts.Lookup());
  const double minute = 0.000694;
  const double t0 = 46000.5;
  const std::string kept = list.Login(Basic("admin1:Secret"), 0, t0);
  const std::string idle = list.Login(Basic("user2:plain"), 0, t0);
  const std::string boundary = list.Login(Basic("u3:colon:pw"), 0, t0 + minute);

  // The kept session is used every nine minutes; the others are not.
  for (int i = 1; i <= 3; ++i) {
    list.FindByAuthorization(Basic("admin1:Secret"), t0 + i * 9 * minute);
    list.Purge(t0 + i * 9 * minute);
  }
  EXPECT_EQ(list.FindById(kept, t0 + 27 * minute).Id, kept);
  EXPECT_EQ(list.FindById(idle, t0 + 27 * minute).Id, list.DefaultEntry().Id);
  EXPECT_EQ(list.FindById(boundary, t0 + 27 * minute).Id, list.DefaultEntry().Id);
  EXPECT_EQ(list.Count(), 1);

  // At the limit an entry goes; just under it, it stays.
  TSessionSystem edge(accounts.Lookup());
  edge.Login(Basic("admin1:Secret"), 0, t0);
  edge.Purge(t0 + 10 * minute - 1e-7);
  EXPECT_EQ(edge.Count(), 1);
  edge.Purge(t0 + 10 * minute + 1e-9);
  EXPECT_EQ(edge.Count(), 0);

  // A purged session's credentials log in again.
  EXPECT_FALSE(list.Login(Basic("user2:plain"), 1, t0 + 30 * minute).empty());
}

TEST_F(LoginSessionTest, SessionIdsAndTokensAreRandomSecrets) {
  TSessionSystem list(accounts.Lookup());
  std::set<std::string> seen;
  auto isSecret = [](const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
  };
  for (int i = 0; i < 200; ++i) {
    const std::string id = list.StartAnonymous();
    const TSessionEntry entry = list.FindById(id);
    EXPECT_TRUE(isSecret(id)) << id;
    EXPECT_TRUE(isSecret(entry.Token)) << entry.Token;
    EXPECT_EQ(entry.Authorization, "");
    EXPECT_EQ(entry.UserLevel, 0);
    EXPECT_TRUE(seen.insert(id).second);
    EXPECT_TRUE(seen.insert(entry.Token).second);
  }
  const std::string login = list.Login(Basic("admin1:Secret"), 5);
  EXPECT_TRUE(isSecret(login));
  EXPECT_TRUE(seen.insert(login).second);
  // The id tells nothing of the credentials.
  EXPECT_EQ(login.find("YWRtaW4x"), std::string::npos);
  EXPECT_TRUE(isSecret(list.DefaultEntry().Id));
  EXPECT_FALSE(list.IsLive(list.DefaultEntry().Id));
}

TEST_F(LoginSessionTest, TokensBelongToTheirSessionAndEndWithIt) {
  TSessionSystem list(accounts.Lookup());
  const std::string a = list.StartAnonymous();
  const std::string b = list.Login(Basic("user2:plain"), 1);
  const std::string tokenA = list.FindById(a).Token;
  const std::string tokenB = list.FindById(b).Token;
  EXPECT_TRUE(list.CheckToken(a, tokenA));
  EXPECT_TRUE(list.CheckToken(b, tokenB));
  EXPECT_FALSE(list.CheckToken(a, tokenB));
  EXPECT_FALSE(list.CheckToken(b, tokenA));
  EXPECT_FALSE(list.CheckToken(a, ""));
  EXPECT_FALSE(list.CheckToken("", ""));
  EXPECT_FALSE(list.CheckToken(a, tokenA.substr(0, 31)));
  EXPECT_FALSE(list.CheckToken(list.DefaultEntry().Id, list.DefaultEntry().Token));
  // A repeated login keeps its session and token.
  EXPECT_EQ(list.Login(Basic("user2:plain"), 1), b);
  EXPECT_TRUE(list.CheckToken(b, tokenB));
  list.Logout(b);
  EXPECT_FALSE(list.IsLive(b));
  EXPECT_FALSE(list.CheckToken(b, tokenB));
  EXPECT_EQ(list.FindById(b).Id, list.DefaultEntry().Id);
  EXPECT_TRUE(list.CheckToken(a, tokenA));
  list.Logout("nobody");
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(LoginSessionTest, AnonymousSessionsAreBounded) {
  TSessionSystem list(accounts.Lookup());
  const double t0 = 46000.5;
  const std::string login = list.Login(Basic("admin1:Secret"), 5, t0);
  std::vector<std::string> ids;
  for (int i = 0; i < TSessionSystem::kMaxAnonymous + 5; ++i) {
    ids.push_back(list.StartAnonymous(t0 + i * 1e-6));
  }
  EXPECT_EQ(list.Count(), TSessionSystem::kMaxAnonymous + 1);
  // The least recently used went; logins are never pushed out.
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(list.IsLive(ids[static_cast<size_t>(i)])) << i;
  EXPECT_TRUE(list.IsLive(ids[5]));
  EXPECT_TRUE(list.IsLive(ids.back()));
  EXPECT_TRUE(list.IsLive(login));
}

TEST(LoginThrottle, TheWaitDoublesPerFailureAndIsForgotten) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  TLoginThrottle throttle([&now] { return now; });
  EXPECT_EQ(TLoginThrottle::DelaySeconds(0), 0);
  const int kWaits[] = {0, 0, 0, 1, 2, 4, 8, 16, 32, 60, 60, 60};
  for (int failures = 1; failures <= static_cast<int>(std::size(kWaits)); ++failures) {
    EXPECT_EQ(TLoginThrottle::DelaySeconds(failures), kWaits[failures - 1]) << failures;
  }
  EXPECT_EQ(TLoginThrottle::DelaySeconds(1000000), 60);

  for (int i = 0; i < 5; ++i) throttle.Failed("10.0.0.1");
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 2);
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.2"), 0);
  now += std::chrono::milliseconds(1500);
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 1);  // rounded up
  now += std::chrono::milliseconds(500);
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);
  EXPECT_EQ(throttle.Failed("10.0.0.1"), 6);
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 4);
  // A quarter of an hour without failures: the address starts afresh.
  now += std::chrono::minutes(TLoginThrottle::kForgetMinutes);
  EXPECT_EQ(throttle.Failed("10.0.0.1"), 1);
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.1"), 0);
  // A success forgets the failures.
  for (int i = 0; i < 8; ++i) throttle.Failed("10.0.0.3");
  EXPECT_GT(throttle.WaitSeconds("10.0.0.3"), 0);
  throttle.Succeeded("10.0.0.3");
  EXPECT_EQ(throttle.WaitSeconds("10.0.0.3"), 0);
  EXPECT_EQ(throttle.Failed("10.0.0.3"), 1);
}

TEST(LoginThrottle, ManyAddressesKeepTheTableBounded) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  TLoginThrottle throttle([&now] { return now; });
  for (int i = 0; i < 5; ++i) throttle.Failed("victim");
  for (size_t i = 0; i < TLoginThrottle::kMaxAddresses + 10; ++i) {
    now += std::chrono::microseconds(1);
    throttle.Failed("a" + std::to_string(i));
  }
  // The oldest record made room; the newest are kept.
  EXPECT_EQ(throttle.WaitSeconds("victim"), 0);
  EXPECT_EQ(throttle.Failed("a" + std::to_string(TLoginThrottle::kMaxAddresses + 9)), 2);
}

TEST(SessionListGlobal, InstalledListIsSharedUntilReplaced) {
  auto list = std::make_shared<TSessionSystem>(TAccountLookup{});
  InstallSessionList(list);
  EXPECT_EQ(SessionList().get(), list.get());
  const std::shared_ptr<TSessionSystem> held = SessionList();
  InstallSessionList(nullptr);
  EXPECT_EQ(SessionList(), nullptr);
  // A holder keeps the list alive; a login without an account lookup fails.
  EXPECT_EQ(held->Login(Basic("admin1:Secret"), 0), "");
}

}  // namespace
}  // namespace tovenmarsh::web
