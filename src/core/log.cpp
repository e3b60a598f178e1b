// The log file: line building, one append per line under the log lock, reading it back.
#include "core/log.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "core/date_utils.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/stream.h"

namespace tovenmarsh::core {
namespace {

// The log's state lives as long as the process, so that a late line from a thread that is
// still ending finds a valid lock (and simply no open file).
struct LogState {
  std::mutex lock;
  platform::TFileDescriptor file;
  std::string path;
};

LogState& State() {
  static LogState state;
  return state;
}

}  // namespace

const char* LogLevelWord(TLogLevel level) {
  switch (level) {
    case TLogLevel::Panic: return "Panic";
    case TLogLevel::Exception: return "Exception";
    case TLogLevel::Error: return "Error";
    case TLogLevel::Warning: return "Warning";
    case TLogLevel::ErrorText: return "ErrorText";
    case TLogLevel::Message: return "Message";
  }
  return "Message";
}

std::string BuildLogLine(TLogLevel level, const std::string& text, platform::TDateTime when) {
  return std::string(LogLevelWord(level)) + " on " + DateTimeToMailZoneStr(when) + " : " + text + "\r\n";
}

bool OpenLog(const std::string& path) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.file.Close();
  state.path = path;
  // Only one writer at a time: a second server in the same folder must not share the log.
  return platform::OpenLockFile(path, platform::kOpenCreate | platform::kOpenAppend, false, state.file) == 0;
}

void CloseLog() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.file.Close();
}

bool LogIsOpen() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.file.IsOpen();
}

std::string LogFilePath() {
  LogState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.path.empty()) return state.path;
  }
  return SystemParameters().LogPath();
}

void WriteLog(TLogLevel level, const std::string& text) noexcept {
  try {
    const std::string line = BuildLogLine(level, text, platform::Now());
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    // A line the disk refuses is lost: the log has nowhere to report its own failure.
    if (state.file.IsOpen()) (void)platform::WriteAll(state.file.Get(), line);
  } catch (...) {
    // Logging never raises.
  }
}

namespace {
std::atomic<TPanicHook> g_panicHook{nullptr};
}  // namespace

void SetPanicHook(TPanicHook hook) { g_panicHook.store(hook); }

void LogPanic(const std::string& text) noexcept {
  WriteLog(TLogLevel::Panic, text);
  if (TPanicHook hook = g_panicHook.load()) hook();
  try {
    platform::ShowMessageBox(text, SystemParameters().ProductName(), platform::TMessageIcon::Error);
  } catch (...) {
    // The text is in the log already, and the process ends next whatever the box did.
  }
  std::_Exit(1);  // at once: no exit handlers of a process in an unknown state
}

std::string ExceptionClassName(const std::exception& e) {
  if (const auto* own = dynamic_cast<const platform::Exception*>(&e)) return own->ClassName();
  const char* mangled = typeid(e).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : mangled;
  std::free(demangled);
  return name;
}

void LogException(const std::string& context, const std::exception& e, bool reraise) {
  WriteLog(TLogLevel::Exception, "(" + ExceptionClassName(e) + ") " + std::string(e.what()) + " " + context);
  if (!reraise) return;
  if (std::current_exception()) throw;
  throw platform::Exception(e.what());
}

void LogCurrentException(const std::string& context) noexcept {
  const std::exception_ptr current = std::current_exception();
  if (!current) return;
  try {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      LogException(context, e, false);
    } catch (...) {
      WriteLog(TLogLevel::Exception, "(unknown) " + context);
    }
  } catch (...) {
    // Logging never raises: a line that cannot even be built (no memory) is dropped.
  }
}

void LogWarning(const std::string& text, bool quiet) {
  WriteLog(TLogLevel::Warning, text);
  if (!quiet) platform::ShowMessageBox(text, SystemParameters().ProductName(), platform::TMessageIcon::Warning);
}

void LogErrorText(const std::string& text) { WriteLog(TLogLevel::ErrorText, text); }

void LogMessage(const std::string& text) { WriteLog(TLogLevel::Message, text); }

void ReadLogFile(platform::TStringList& list) {
  try {
    platform::TMemoryStream stream;
    stream.LoadFromFile(LogFilePath());
    list.SetText(stream.Bytes());
  } catch (...) {
    // The page that shows the log simply shows what could be read.
  }
}

}  // namespace tovenmarsh::core
