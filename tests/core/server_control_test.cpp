// StartServer and StopServer in a fresh installation: a copy of this test program in a new
// folder (its program folder) runs the sequence and reports through its exit code, so that the
// configuration, log and folders land there and not beside the build.
#include "core/server_control.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "core/manager_thread.h"
#include "core/server_errors.h"
#include "core/server_steps.h"
#include "core/tcp_server.h"
#include "core/worker_threads.h"
#include "core/system_parameters.h"
#include "platform/paths.h"
#include "platform/stream.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

constexpr const char* kChildVariable = "TM_SERVER_CONTROL_CHILD";

// The part that runs inside the copy. Each failed check leaves its own exit code.
int RunStopStartSequence() {
  TSystemParameters& parameters = SystemParameters();
  const std::string folder = parameters.ProgramFolder();
  auto write = [&](const std::string& name, const std::string& text) {
    platform::TFileStream file(folder + name, platform::fmCreate);
    file.WriteString(text);
  };
  write("tovenmarsh.cfg", "MaxTCPCon=3\r\nRelayServer=first.example.org\r\n");
  StartServer();
  if (!parameters.Running() || IsShutDown()) return 10;
  if (parameters.GetInt("MaxTCPCon") != 3 || parameters.GetString("RelayServer") != "first.example.org") return 11;
  for (const char* name : {"db", "queue", "mail", "webroot", "document"}) {
    if (!platform::DirectoryExists(folder + name)) return 12;
  }
  StartServer();  // already running: nothing happens

  // Stop, change the file, start: the new start reads it again and reopens the log.
  StopServer();
  if (parameters.Running() || !IsShutDown()) return 20;
  std::filesystem::rename(folder + "tovenmarsh.log", folder + "first.log");
  write("tovenmarsh.cfg", "MaxTCPCon=7\r\n");
  StartServer();
  if (parameters.GetInt("MaxTCPCon") != 7) return 21;
  if (parameters.GetString("RelayServer") != "") return 22;  // gone from the file: the default
  StopServer();
  StopServer();  // not running: nothing happens
  return 0;
}

TEST(ServerControl, StopThenStartReReadsTheConfigurationAndReopensTheLog) {
  if (std::getenv(kChildVariable) != nullptr) {
    std::_Exit(RunStopStartSequence());
  }
  testing::TempFolder folder;
  const std::string copy = folder.Path() + "tovenmarsh";
  std::filesystem::copy_file(platform::ExecutablePath(), copy);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv(kChildVariable, "1", 1);
    const std::string filter = "--gtest_filter=ServerControl.StopThenStartReReadsTheConfigurationAndReopensTheLog";
    execl(copy.c_str(), copy.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const auto lines = [](const std::string& text) {
    std::string texts;
    for (size_t at = text.find(" : "); at != std::string::npos; at = text.find(" : ", at + 1)) {
      const size_t end = text.find("\r\n", at);
      texts += text.substr(at + 3, end - at - 3) + "|";
    }
    return texts;
  };
  EXPECT_EQ(lines(folder.Read("first.log")),
            "tovenmarsh starting up|tovenmarsh startet|tovenmarsh shuting down|tovenmarsh stopped|"
            "* * * * * * * * * * *|");
  EXPECT_EQ(lines(folder.Read("tovenmarsh.log")),
            "tovenmarsh starting up|tovenmarsh startet|tovenmarsh shuting down|tovenmarsh stopped|"
            "* * * * * * * * * * *|");
}

// The part that runs inside the copy: a listener that cannot have a usable port must stop the
// whole start, whatever the offset's fault.
int RunStartsWithUnusableOffsets() {
  RegisterServerSubsystem({"TestListener", kStepMailServices, kStopMailServices,
                           [] { StartTCPServer(25, ClassRef<TTCPServer, TTCPServer>(), 10, 5); }, {}});
  for (const char* offset : {"abc", "-5", "65511"}) {
    setenv("TOVENMARSH_PORT_OFFSET", offset, 1);
    try {
      StartServer();
      return 30;
    } catch (const EVServer&) {
    }
    if (SystemParameters().Running()) return 31;
  }
  return 0;
}

// Runs this test's own part in a copy of the program inside folder; answers its exit code.
int RunInCopy(const testing::TempFolder& folder, const std::string& test) {
  const std::string copy = folder.Path() + "tovenmarsh";
  std::filesystem::copy_file(platform::ExecutablePath(), copy);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setenv(kChildVariable, "1", 1);
    const std::string filter = "--gtest_filter=ServerControl." + test;
    execl(copy.c_str(), copy.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ServerControl, AnUnusablePortOffsetRefusesTheStartAndLogsWhy) {
  if (std::getenv(kChildVariable) != nullptr) {
    std::_Exit(RunStartsWithUnusableOffsets());
  }
  testing::TempFolder folder;
  EXPECT_EQ(RunInCopy(folder, "AnUnusablePortOffsetRefusesTheStartAndLogsWhy"), 0);
  const std::string log = folder.Read("tovenmarsh.log");
  for (const char* why : {"(EVServer) TOVENMARSH_PORT_OFFSET \"abc\" is not a whole number from 0 to 65510: not "
                          "listening on port 25 in StartServer\r\n",
                          "(EVServer) TOVENMARSH_PORT_OFFSET \"-5\" is not a whole number",
                          "(EVServer) TOVENMARSH_PORT_OFFSET \"65511\" takes port 25 past 65535"}) {
    EXPECT_NE(log.find(why), std::string::npos) << why << "\n" << log;
  }
  EXPECT_EQ(log.find("tovenmarsh startet"), std::string::npos) << log;
  EXPECT_EQ(log.find("listener started"), std::string::npos) << log;
}

}  // namespace
}  // namespace tovenmarsh::core
