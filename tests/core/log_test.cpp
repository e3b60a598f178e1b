#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>
#include <string>

#include "platform/exception.h"
#include "support/scoped_zone.h"
#include "support/temp_folder.h"

namespace tovenmarsh {
namespace {

using platform::Exception;
TM_DECLARE_EXCEPTION(EWinsockError, Exception);

}  // namespace
}  // namespace tovenmarsh

namespace tovenmarsh::core {
namespace {

using testing::ScopedZone;
using testing::TempFolder;

// One line of the log: level, the mail-style local time with its zone, the text.
const std::regex kLine(
    R"((Panic|Exception|Error|Warning|ErrorText|Message) on (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] )"
    R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [+-][0-9]{4} : )"
    R"(([^\r\n]*)\r\n)");

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenLog(folder_.Path() + "tovenmarsh.log")); }
  void TearDown() override { CloseLog(); }
  std::string Contents() const { return folder_.Read("tovenmarsh.log"); }

  TempFolder folder_;
};

TEST(LogLine, FormatAndZonesFollowTz) {
  const platform::TDateTime when = platform::EncodeDate(2026, 12, 9) + platform::EncodeTime(8, 15, 2, 0);
  struct Case { const char* zone; TLogLevel level; const char* line; };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", TLogLevel::Message,
       "Message on Wed, 09 Dec 2026 08:15:02 +0100 : tovenmarsh startet\r\n"},
      {"UTC0", TLogLevel::Panic, "Panic on Wed, 09 Dec 2026 08:15:02 +0000 : tovenmarsh startet\r\n"},
      {"<-0530>5:30", TLogLevel::ErrorText,
       "ErrorText on Wed, 09 Dec 2026 08:15:02 -0530 : tovenmarsh startet\r\n"},
      {"EST5EDT,M3.2.0,M11.1.0", TLogLevel::Warning,
       "Warning on Wed, 09 Dec 2026 08:15:02 -0500 : tovenmarsh startet\r\n"},
  };
  for (const Case& c : cases) {
    ScopedZone zone(c.zone);
    EXPECT_EQ(BuildLogLine(c.level, "tovenmarsh startet", when), c.line);
  }
  EXPECT_STREQ(LogLevelWord(TLogLevel::Exception), "Exception");
  EXPECT_STREQ(LogLevelWord(TLogLevel::Error), "Error");
}

TEST_F(LogTest, EveryLevelAppendsOneLineInTheFixedForm) {
  LogMessage("tovenmarsh starting up");
  LogErrorText("socket trouble");
  LogWarning("quiet warning", true);
  try {
    throw EWinsockError("x");
  } catch (const std::exception& e) {
    LogException("in TSMTPServer", e, false);
  }
  try {
    throw std::runtime_error("plain");
  } catch (const std::exception& e) {
    LogException("in ServerListenThread", e, false);
  }
  LogError<EWinsockError>("t", false);

  const std::string log = Contents();
  std::vector<std::pair<std::string, std::string>> lines;
  for (std::sregex_iterator it(log.begin(), log.end(), kLine), end; it != end; ++it) {
    lines.emplace_back((*it)[1], (*it)[4]);
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Message", "tovenmarsh starting up"},
      {"ErrorText", "socket trouble"},
      {"Warning", "quiet warning"},
      {"Exception", "(EWinsockError) x in TSMTPServer"},
      {"Exception", "(std::runtime_error) plain in ServerListenThread"},
      {"Error", "(EWinsockError)t"},
  };
  EXPECT_EQ(lines, expected);
  // Nothing but whole lines.
  EXPECT_EQ(std::regex_replace(log, kLine, ""), "");
}

TEST_F(LogTest, LogErrorRaisesTheGivenClassWithTheProductName) {
  try {
    LogError<EWinsockError>("t", true);
    FAIL() << "LogError with raise set returned";
  } catch (const EWinsockError& e) {
    EXPECT_EQ(e.Message(), "tovenmarsh:t");
  }
  EXPECT_NE(Contents().find(" : (EWinsockError)t\r\n"), std::string::npos);
}

TEST_F(LogTest, LogExceptionReraisesTheSameObject) {
  try {
    try {
      throw EWinsockError("again");
    } catch (const std::exception& e) {
      LogException("in X", e, true);
    }
    FAIL() << "not re-raised";
  } catch (const EWinsockError& e) {
    EXPECT_EQ(e.Message(), "again");
  }
}

// The exception being handled is logged like LogException, one that is no std::exception as
// "(unknown)"; outside a handler nothing is written.
TEST_F(LogTest, CurrentExceptionIsLoggedWhateverItsType) {
  LogCurrentException("outside any handler");
  try {
    throw EWinsockError("refused");
  } catch (...) {
    LogCurrentException("in TTaskThread");
  }
  try {
    throw 42;
  } catch (...) {
    LogCurrentException("in TTaskThread");
  }
  const std::string log = Contents();
  EXPECT_EQ(log.find("outside any handler"), std::string::npos) << log;
  EXPECT_NE(log.find("Exception on "), std::string::npos) << log;
  EXPECT_NE(log.find(" : (EWinsockError) refused in TTaskThread\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" : (unknown) in TTaskThread\r\n"), std::string::npos) << log;
}

TEST_F(LogTest, TextIsWrittenAsGivenAndReadBackWhole) {
  LogMessage("first\r\nsecond");
  platform::TStringList list;
  list.Add("stale");
  ReadLogFile(list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_TRUE(std::regex_match(list[0] + "\r\n", std::regex("Message on .* : first\r\n")));
  EXPECT_EQ(list[1], "second");
}

TEST_F(LogTest, LinesWrittenWhileClosedAreDroppedAndReopeningAppends) {
  LogMessage("one");
  CloseLog();
  EXPECT_FALSE(LogIsOpen());
  LogMessage("lost");
  ASSERT_TRUE(OpenLog(folder_.Path() + "tovenmarsh.log"));
  LogMessage("two");
  const std::string log = Contents();
  EXPECT_NE(log.find(" : one\r\n"), std::string::npos);
  EXPECT_EQ(log.find("lost"), std::string::npos);
  EXPECT_GT(log.find(" : two\r\n"), log.find(" : one\r\n"));
}

TEST_F(LogTest, ASecondWriterIsRefused) {
  // Another process holding the log keeps this one out, as a log opened denying writers does.
  const std::string path = folder_.Path() + "tovenmarsh.log";
  const pid_t child = fork();
  if (child == 0) _exit(OpenLog(path) ? 0 : 3);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_FALSE(OpenLog(folder_.Path() + "missing/tovenmarsh.log"));
}

TEST_F(LogTest, PanicLogsShowsTheBoxAndEndsTheProcessWithFailure) {
  EXPECT_EXIT(LogPanic("Could not create folder /x/db/"), ::testing::ExitedWithCode(1),
              "tovenmarsh \\[Error\\]: Could not create folder /x/db/");
  EXPECT_NE(Contents().find("Panic on "), std::string::npos);
  EXPECT_NE(Contents().find(" : Could not create folder /x/db/\r\n"), std::string::npos);
}

TEST(LogReading, AMissingFileLeavesTheListAlone) {
  TempFolder folder;
  ASSERT_TRUE(OpenLog(folder.Path() + "tovenmarsh.log"));
  CloseLog();
  std::filesystem::remove(folder.Path() + "tovenmarsh.log");
  platform::TStringList list;
  list.Add("kept");
  ReadLogFile(list);
  EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace tovenmarsh::core
