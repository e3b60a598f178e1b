// The log file tovenmarsh.log: one line per event, appended under one lock, in the form
//   <level> on <Ddd, dd Mmm yyyy hh:mm:ss +hhmm> : <text> CR LF
// Logging never raises; a line written while no log is open is dropped.
#pragma once

#include <exception>
#include <string>

#include "core/system_parameters.h"
#include "platform/exception.h"
#include "platform/date_time.h"
#include "platform/string_list.h"

namespace tovenmarsh::core {

enum class TLogLevel { Panic, Exception, Error, Warning, ErrorText, Message };

// "Panic", "Exception", "Error", "Warning", "ErrorText", "Message".
const char* LogLevelWord(TLogLevel level);
// The complete line for a text logged at the given local time, CR LF included.
std::string BuildLogLine(TLogLevel level, const std::string& text, platform::TDateTime when);

// Opens (creating when missing) the log file for appending, closing any log open before.
// Answers false when the file cannot be opened.
bool OpenLog(const std::string& path);
void CloseLog();
bool LogIsOpen();
// The path of the log that OpenLog last opened, else the installation's log path.
std::string LogFilePath();

void WriteLog(TLogLevel level, const std::string& text) noexcept;

// Logs, shows the text as an error box (standard error) and ends the process with a non-zero
// exit code without running the stop sequence.
[[noreturn]] void LogPanic(const std::string& text) noexcept;
// A routine that LogPanic runs before it shows its box (the control window gives the terminal
// back); none by default.
using TPanicHook = void (*)();
void SetPanicHook(TPanicHook hook);

// Logs "(<class>) <message> <context>". With reraise set it rethrows the exception being
// handled, so it must then be called from inside the handler that caught e.
void LogException(const std::string& context, const std::exception& e, bool reraise);
// Logs the exception being handled as LogException does, "(unknown) <context>" for one that is
// no std::exception. Never raises; does nothing outside a handler.
void LogCurrentException(const std::string& context) noexcept;

// Logs "(<E>)<text>"; with raise set, throws E with the message "<product>:<text>".
template <class E>
void LogError(const std::string& text, bool raise) {
  E error(SystemParameters().ProductName() + ":" + text);
  WriteLog(TLogLevel::Error, "(" + std::string(error.ClassName()) + ")" + text);
  if (raise) throw error;
}

// Logs; unless quiet also shows the text as a warning box (standard error).
void LogWarning(const std::string& text, bool quiet);
void LogErrorText(const std::string& text);
void LogMessage(const std::string& text);

// Replaces the list's lines by the log file's lines; failures are swallowed.
void ReadLogFile(platform::TStringList& list);

// The class name that log entries show for an exception.
std::string ExceptionClassName(const std::exception& e);

}  // namespace tovenmarsh::core
