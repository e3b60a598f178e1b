// The start and stop sequences of the whole server.
//
// Start: system (configuration, version, log, folders), "starting up", sockets with the manager
// thread, then each subsystem's own start; running is set last. A failure is logged, whatever
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
void BestEffort(const char* context, std::exception_ptr& first, Step&& step) {
  try {
    step();
  } catch (...) {
    LogFailure(context);
    if (!first) first = std::current_exception();
  }
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

  bool socketsStarted = false;
  try {
    StartSystem();
    LogMessage("tovenmarsh starting up");
    StartSockets();
    socketsStarted = true;

    parameters.SetRunning(true);
    g_firstStart = false;
    LogMessage("tovenmarsh startet");
  } catch (...) {
    LogFailure("in StartServer");
    parameters.SetRunning(false);
    std::exception_ptr ignored;
    if (socketsStarted) BestEffort("in StopSockets", ignored, [] { StopSockets(); });
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
  BestEffort("in StopServers", first, [] { StopServers(); });
  BestEffort("in StopSockets", first, [] { StopSockets(); });
  LogMessage("tovenmarsh stopped");
  LogMessage("* * * * * * * * * * *");
  BestEffort("in StopSystem", first, [] { StopSystem(); });
  parameters.SetRunning(false);
  if (first) std::rethrow_exception(first);
}

}  // namespace tovenmarsh::core
