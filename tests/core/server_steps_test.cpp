// The subsystems' start and stop routines run at their places in the start and stop
// sequences: registered in any order, started by start step around the sockets, stopped by stop
// step after every thread has been asked to end; a start failing part-way stops again exactly
// what had started. The sequences run in a copy of this program in a fresh folder (its program
// folder), which reports through its exit code.
#include "core/server_steps.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/manager_thread.h"
#include "core/server_control.h"
#include "core/system_parameters.h"
#include "platform/paths.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

constexpr const char* kChildVariable = "TM_SERVER_STEPS_CHILD";

std::string g_trace;

void RegisterTracing(int failAtStart) {
  ClearServerSubsystems();
  // Registered out of order on purpose; each notes whether the sockets ran at that moment.
  const struct {
    const char* name;
    int start, stop;
  } steps[] = {{"sessions", kStepLoginSessions, kStopLoginSessions},
               {"web", kStepWebServices, kStopWebServices},
               {"resources", kStepDatabaseResources, kStopDatabaseResources},
               {"mail", kStepMailServices, kStopMailServices}};
  for (const auto& step : steps) {
    const std::string name = step.name;
    const int start = step.start;
    RegisterServerSubsystem({name, step.start, step.stop,
                             [name, start, failAtStart] {
                               if (start == failAtStart) throw std::runtime_error("failed " + name);
                               g_trace += "+" + name + (IsShutDown() ? "(no sockets)" : "") + " ";
                             },
                             [name] { g_trace += "-" + name + (IsShutDown() ? "(threads stopped)" : "") + " "; }});
  }
}

int RunSequences() {
  if (ServerSubsystems().size() != 0) return 1;
  RegisterTracing(0);
  if (ServerSubsystems().size() != 4 || ServerSubsystems()[0].name != "resources") return 2;
  StartServer();
  if (!SystemParameters().Running()) return 3;
  StopServer();
  if (g_trace !=
      "+resources(no sockets) +mail +web +sessions "
      "-sessions(threads stopped) -web(threads stopped) -mail(threads stopped) -resources(threads stopped) ") {
    std::fprintf(stderr, "trace: %s\n", g_trace.c_str());
    return 4;
  }

  g_trace.clear();
  RegisterTracing(kStepWebServices);
  try {
    StartServer();
    return 5;
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) != "failed web") return 6;
  }
  if (SystemParameters().Running()) return 7;
  if (g_trace != "+resources(no sockets) +mail -mail(threads stopped) -resources(threads stopped) ") {
    std::fprintf(stderr, "trace: %s\n", g_trace.c_str());
    return 8;
  }
  // A later start runs everything again.
  g_trace.clear();
  RegisterTracing(0);
  StartServer();
  StopServer();
  if (g_trace.find("+sessions") == std::string::npos) return 9;
  return 0;
}

TEST(ServerSteps, RegistrationRefusesStepsThatNoSubsystemOwns) {
  const auto start = [] {};
  EXPECT_THROW(RegisterServerSubsystem({"x", 4, kStopMailServices, start, {}}), std::invalid_argument);
  EXPECT_THROW(RegisterServerSubsystem({"x", kStepMailServices, 7, start, {}}), std::invalid_argument);
  EXPECT_THROW(RegisterServerSubsystem({"x", kStepMailServices, kStopMailServices, {}, {}}), std::invalid_argument);
  RegisterServerSubsystem({"a", kStepMailServices, kStopMailServices, start, {}});
  RegisterServerSubsystem({"b", kStepMailServices, kStopMailServices, start, {}});
  ASSERT_EQ(ServerSubsystems().size(), 1u);
  EXPECT_EQ(ServerSubsystems()[0].name, "b");
  ClearServerSubsystems();
  EXPECT_TRUE(ServerSubsystems().empty());
}

TEST(ServerSteps, SubsystemsRunAtTheirStepsAndAFailedStartStopsWhatStarted) {
  if (std::getenv(kChildVariable) != nullptr) {
    std::_Exit(RunSequences());
  }
  testing::TempFolder folder;
  const std::string copy = folder.Path() + "tovenmarsh";
  std::filesystem::copy_file(platform::ExecutablePath(), copy);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv(kChildVariable, "1", 1);
    const std::string filter = "--gtest_filter=ServerSteps.SubsystemsRunAtTheirStepsAndAFailedStartStopsWhatStarted";
    execl(copy.c_str(), copy.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tovenmarsh::core
