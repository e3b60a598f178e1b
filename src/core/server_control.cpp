// The start and stop sequences of the whole server.
//
// Start: system (configuration, version, log, folders), "starting up", the subsystems
// registered before the sockets (database resources), sockets with the manager thread, then
// the other registered subsystems in step order; running is set last. A failure is logged, whatever
// had started is stopped again and the exception goes on to the caller, so a later start runs
// from a clean state. Stop runs every step even when one fails, always clears running and then
// raises the first failure.
#include "core/server_control.h"

#include <exception>
#include <mutex>
#include <utility>

#include "core/file_version.h"
#include "core/log.h"
#include "core/manager_thread.h"
#include "core/server_steps.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::core {
namespace {

std::mutex g_controlLock;  // one start or stop at a time
std::mutex g_argumentsLock;
std::vector<std::string> g_arguments;
// Lets the very first start through whatever the running flag says.
bool g_firstStart = true;
// The subsystems the last successful start started, for the stop (under g_controlLock).
std::vector<TServerSubsystem> g_started;
// The step at which the sockets start and, in the stop sequence, stop.
constexpr int kStartSocketsStep = 4;
constexpr int kStopSocketsStep = 7;

void LogFailure(const std::string& context) {
  try {
    throw;
  } catch (const std::exception& e) {
    LogException(context, e, false);
  } catch (...) {
    WriteLog(TLogLevel::Exception, "(unknown) " + context);
  }
}

// Runs one stop step; a failure is logged and kept (the first one) for the end.
template <class Step>
void BestEffort(const std::string& context, std::exception_ptr& first, Step&& step) {
  try {
    step();
  } catch (...) {
    LogFailure(context);
    if (!first) first = std::current_exception();
  }
}

// The stop steps from the stopping of every thread to the freeing of the database resources,
// over the subsystems that started; every step runs even when one fails.
void StopStarted(const std::vector<TServerSubsystem>& started, bool socketsStarted, std::exception_ptr& first) {
  if (socketsStarted) BestEffort("in StopServers", first, [] { StopServers(); });
  auto stopAt = [&](int step) {
    for (auto it = started.rbegin(); it != started.rend(); ++it) {
      if (it->stopStep == step && it->stop) BestEffort("in " + it->name, first, it->stop);
    }
  };
  for (int step = kStopLoginSessions; step < kStopSocketsStep; ++step) stopAt(step);
  if (socketsStarted) BestEffort("in StopSockets", first, [] { StopSockets(); });
  stopAt(kStopDatabaseResources);
}

}  // namespace

void SetProgramArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> guard(g_argumentsLock);
  g_arguments = std::move(arguments);
}

void StartSystem() {
  TSystemParameters& parameters = SystemParameters();
  parameters.Load();
  std::string versionText;
  int versionNumber = 0;
  GetFileVersion(parameters.ProgramPath(), versionText, versionNumber);
  parameters.SetVersion(versionText, versionNumber);
  {
    std::lock_guard<std::mutex> guard(g_argumentsLock);
    if (!g_arguments.empty() && IsRebuildArgument(g_arguments[0])) parameters.SetRebuild(true);
  }
  if (!OpenLog(parameters.LogPath())) {
    throw platform::EFOpenError(platform::Format("Cannot open file \"%s\" for writing", parameters.LogPath().c_str()));
  }
  for (const std::string& folder : {parameters.DatabaseFolder(), parameters.TempFolder(), parameters.QueueFolder(),
                                    parameters.MailFolder(), parameters.WebFolder(), parameters.DocumentFolder()}) {
    if (!platform::DirectoryExists(folder) && !platform::CreateDir(folder)) {
      LogPanic("Could not create folder " + folder);
    }
  }
}

void StopSystem() { CloseLog(); }

void StartServer() {
  std::lock_guard<std::mutex> guard(g_controlLock);
  TSystemParameters& parameters = SystemParameters();
  if (parameters.Running() && !g_firstStart) return;

  const std::vector<TServerSubsystem> subsystems = ServerSubsystems();
  std::vector<TServerSubsystem> started;
  bool socketsStarted = false;
  try {
    StartSystem();
    LogMessage("tovenmarsh starting up");
    auto startRange = [&](int from, int to) {
      for (const TServerSubsystem& subsystem : subsystems) {
        if (subsystem.startStep < from || subsystem.startStep > to) continue;
        subsystem.start();
        started.push_back(subsystem);
      }
    };
    startRange(0, kStartSocketsStep - 1);
    StartSockets();
    socketsStarted = true;
    startRange(kStartSocketsStep + 1, 1000);

    g_started = started;
    parameters.SetRunning(true);
    g_firstStart = false;
    LogMessage("tovenmarsh startet");
  } catch (...) {
    LogFailure("in StartServer");
    parameters.SetRunning(false);
    std::exception_ptr ignored;
    StopStarted(started, socketsStarted, ignored);
    StopSystem();
    throw;
  }
}

void StopServer() {
  std::lock_guard<std::mutex> guard(g_controlLock);
  TSystemParameters& parameters = SystemParameters();
  if (!parameters.Running()) return;

  std::exception_ptr first;
  LogMessage("tovenmarsh shuting down");
  StopStarted(g_started, true, first);
  g_started.clear();
  LogMessage("tovenmarsh stopped");
  LogMessage("* * * * * * * * * * *");
  BestEffort("in StopSystem", first, [] { StopSystem(); });
  parameters.SetRunning(false);
  if (first) std::rethrow_exception(first);
}

}  // namespace tovenmarsh::core
