#include "core/system_parameters.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
#include "platform/stream.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

using testing::TempFolder;

TEST(SystemParameters, FoldersDeriveFromTheProgramPath) {
  TSystemParameters p("/srv/tm/tovenmarsh");
  EXPECT_EQ(p.ProductName(), "tovenmarsh");
  EXPECT_EQ(p.ProgramPath(), "/srv/tm/tovenmarsh");
  EXPECT_EQ(p.ProgramFolder(), "/srv/tm/");
  EXPECT_EQ(p.DatabaseFolder(), "/srv/tm/db/");
  EXPECT_EQ(p.MailFolder(), "/srv/tm/mail/");
  EXPECT_EQ(p.QueueFolder(), "/srv/tm/queue/");
  EXPECT_EQ(p.DocumentFolder(), "/srv/tm/document/");
  EXPECT_EQ(p.WebFolder(), "/srv/tm/webroot/");
  EXPECT_EQ(p.TemplateFolder(), "/srv/tm/webroot/template/");
  EXPECT_EQ(p.FileRootFolder(), "/srv/tm/fileroot/");
  EXPECT_EQ(p.LogPath(), "/srv/tm/tovenmarsh.log");
  EXPECT_EQ(p.ConfigPath(), "/srv/tm/tovenmarsh.cfg");
  EXPECT_FALSE(p.TempFolder().empty());
  EXPECT_EQ(p.TempFolder().back(), '/');
  EXPECT_FALSE(p.Running());
  EXPECT_FALSE(p.Rebuild());
  EXPECT_NEAR(p.StartTime(), platform::Now(), 1.0 / 24);
}

TEST(SystemParameters, TemporaryFolderFallsBackBesideTheProgram) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", ("/" + std::string(200, 'x')).c_str(), 1);
  TSystemParameters p("/srv/tm/tovenmarsh");
  EXPECT_EQ(p.TempFolder(), "/srv/tm/temp/");
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(SystemParameters, DefaultsHoldAllKeysInOrder) {
  TSystemParameters p("/x/tovenmarsh");
  const platform::TStringList& d = p.Defaults();
  ASSERT_EQ(d.Count(), 29);
  EXPECT_EQ(d[0], "WebServer=");
  EXPECT_EQ(d[27], "DocumentPoolMax=10");
  // Only loopback clients may relay unless the configuration says otherwise.
  EXPECT_EQ(d[28], "RelayNetworks=127.0.0.0/8 ::1/128");
  EXPECT_EQ(p.GetInt("RelayRetries"), 5);
  EXPECT_EQ(p.GetInt("RelayMin"), 30);
  EXPECT_EQ(p.GetInt("SessionTimeout"), 10);
  EXPECT_EQ(p.GetInt("AdminLevel"), 10);
  EXPECT_EQ(p.GetInt("MailboxPoolMax"), 10);
  EXPECT_EQ(p.GetString("SecurityOn"), "No");
  EXPECT_FALSE(p.GetBool("SecurityOn"));
  EXPECT_EQ(p.GetString("Unknown"), "");
  EXPECT_EQ(p.GetInt("Unknown"), 0);
}

TEST(SystemParameters, LoadedValuesFallBackToDefaultsOnlyWhereTheRulesSay) {
  TempFolder folder;
  folder.Write("tovenmarsh.cfg",
               "relayretries=0\r\nRelayMin=abc\r\nRelayServer=\r\nMaxTCPCon=3\r\nUserLevel=-2\r\n"
               "comment line\r\nWebServer=www.example.org\r\nWebServer=ignored\r\n");
  TSystemParameters p(folder.Path() + "tovenmarsh");
  p.Load();
  struct IntCase { const char* key; int value; };
  const IntCase ints[] = {
      {"RelayRetries", 5},    // a configured 0 never overrides a non-zero default
      {"RelayMin", 30},       // not a number
      {"MaillistMaxDepth", 1},  // absent from the file
      {"MaxTCPCon", 3},
      {"UserLevel", -2},
      {"AccountPoolMax", 10},
  };
  for (const IntCase& c : ints) EXPECT_EQ(p.GetInt(c.key), c.value) << c.key;
  EXPECT_EQ(p.GetString("RelayServer"), "");  // empty value: the default, also empty
  EXPECT_EQ(p.GetString("WEBSERVER"), "www.example.org");  // first match, any case
  EXPECT_EQ(p.GetString("AdminLevel"), "10");
  EXPECT_EQ(p.Configuration().Count(), 8);  // loading replaced the list
}

TEST(SystemParameters, GetBoolIsFalseOnlyForEmptyOrFAndN) {
  struct Case { const char* value; bool flag; };
  const Case cases[] = {{"yes", true},    {"Y", true},  {"1", true}, {"0", true}, {"true", true},
                        {"no", false}, {"False", false}, {"n", false}, {"", false}};
  for (const Case& c : cases) {
    TempFolder folder;
    folder.Write("tovenmarsh.cfg", std::string("SecurityOn=") + c.value + "\r\n");
    TSystemParameters p(folder.Path() + "tovenmarsh");
    p.Load();
    EXPECT_EQ(p.GetBool("SecurityOn"), c.flag) << c.value;
  }
  TempFolder folder;
  folder.Write("tovenmarsh.cfg", "UserLevel=2\r\n");
  TSystemParameters p(folder.Path() + "tovenmarsh");
  p.Load();
  EXPECT_FALSE(p.GetBool("SecurityOn"));  // missing: false, with no look at the defaults
}

TEST(SystemParameters, MissingFileKeepsDefaultsAndSaveSortsWhatIsPresent) {
  TempFolder folder;
  TSystemParameters p(folder.Path() + "tovenmarsh");
  p.Load();
  EXPECT_EQ(p.Configuration(), p.Defaults());

  folder.Write("tovenmarsh.cfg", "UserLevel=2\r\nRelayServer=smtp.example.org\r\n");
  p.Load();
  p.SetString("AdminLevel", "7");
  p.SetBool("SecurityOn", true);
  p.SetString("relayserver", "relay.example.org");
  p.Save();
  EXPECT_EQ(folder.Read("tovenmarsh.cfg"),
            "AdminLevel=7\r\nrelayserver=relay.example.org\r\nSecurityOn=Yes\r\nUserLevel=2\r\n");
  // The list stays sorted after saving, and a new start reads the same values back.
  EXPECT_EQ(p.Configuration()[0], "AdminLevel=7");
  TSystemParameters again(folder.Path() + "tovenmarsh");
  again.Load();
  EXPECT_TRUE(again.GetBool("SecurityOn"));
  EXPECT_EQ(again.GetString("RelayServer"), "relay.example.org");
  EXPECT_EQ(again.GetInt("AdminLevel"), 7);
  EXPECT_EQ(again.GetInt("RelayRetries"), 5);
}

TEST(SystemParameters, SaveReplacesTheFileWholeAndNeverRewritesItInPlace) {
  // A save that truncated the file and then wrote it would leave a cut configuration behind
  // after a crash or on a full disk; the old file must stay whole until the new one is.
  TempFolder folder;
  folder.Write("tovenmarsh.cfg", "UserLevel=2\r\n");
  ASSERT_EQ(link((folder.Path() + "tovenmarsh.cfg").c_str(), (folder.Path() + "before.cfg").c_str()), 0);
  TSystemParameters p(folder.Path() + "tovenmarsh");
  p.Load();
  p.SetString("AdminLevel", "7");
  p.Save();
  EXPECT_EQ(folder.Read("before.cfg"), "UserLevel=2\r\n") << "the old file was rewritten in place";
  EXPECT_EQ(folder.Read("tovenmarsh.cfg"), "AdminLevel=7\r\nUserLevel=2\r\n");
  EXPECT_FALSE(platform::FileExists(folder.Path() + "tovenmarsh.cfg.new"));

  // A folder that cannot take the file: Save raises and the configuration file is unchanged.
  ASSERT_EQ(mkdir((folder.Path() + "tovenmarsh.cfg.new").c_str(), 0755), 0);
  p.SetString("AdminLevel", "8");
  EXPECT_THROW(p.Save(), platform::EFCreateError);
  EXPECT_EQ(folder.Read("tovenmarsh.cfg"), "AdminLevel=7\r\nUserLevel=2\r\n");
}

TEST(SystemParameters, CountersKeepPeaksAndIgnoreUnknownKinds) {
  TSystemParameters p("/x/tovenmarsh");
  p.CountConnection(true, ckSMTP);
  p.CountConnection(true, ckSMTP);
  p.CountConnection(false, ckSMTP);
  p.CountConnection(true, ckNone);
  p.CountConnection(true, 6);
  p.CountConnection(true, -1);
  p.CountThread(true);
  p.CountThread(true);
  p.CountThread(false);
  EXPECT_EQ(p.ConnectionCount(ckSMTP), 1);
  EXPECT_EQ(p.ConnectionPeak(ckSMTP), 2);
  EXPECT_EQ(p.ConnectionCount(ckHTTP), 0);
  EXPECT_EQ(p.ConnectionCount(6), 0);
  EXPECT_EQ(p.ThreadCount(), 1);
  EXPECT_EQ(p.ThreadPeak(), 2);
}

TEST(SystemParameters, RebuildArgument) {
  struct Case { const char* argument; bool rebuild; };
  const Case cases[] = {{"rebuild", true}, {"R", true}, {"r", true}, {"-r", false}, {"", false}, {"x", false}};
  for (const Case& c : cases) EXPECT_EQ(IsRebuildArgument(c.argument), c.rebuild) << c.argument;
}

}  // namespace
}  // namespace tovenmarsh::core
