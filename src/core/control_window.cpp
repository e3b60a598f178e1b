// The control window, drawn in a terminal with ANSI sequences or run headless.
#include "core/control_window.h"

#include <chrono>
#include <csignal>
#include <exception>

#include "core/log.h"
#include "core/server_control.h"
#include "core/system_parameters.h"
#include "core/worker_threads.h"
#include "platform/format.h"
#include "platform/message_box.h"
#include "platform/terminal.h"

namespace tovenmarsh::core {
namespace {

constexpr int kInnerWidth = 44;  // characters between the window's side borders
constexpr const char* kCounterCaptions[6] = {"Threads",          "HTTP connections", "SMTP connections",
                                             "POP3 connections", "POPMail tasks",    "Relay tasks"};
constexpr const char* kAboutMemo[5] = {
    "A self-contained mail and web server",
    "for a small organisation: SMTP, POP3,",
    "HTTP, mailboxes, mailing lists, relay",
    "and a searchable archive, all over its",
    "own table engine.",
};

// The terminal's settings before the window took it over; restored on every way out.
bool g_terminalTaken = false;

void WriteOut(const std::string& bytes) { platform::WriteToStandardOutput(bytes); }

void GiveTerminalBack() {
  if (!g_terminalTaken) return;
  g_terminalTaken = false;
  platform::RestoreTerminal();
  // Colours off, cursor shown, back to the normal screen.
  WriteOut("\x1b[0m\x1b[?25h\x1b[?1049l");
}

void TakeTerminal() {
  // Keys one by one, unseen; Ctrl-C stays a signal.
  if (g_terminalTaken || !platform::SetTerminalRaw()) return;
  g_terminalTaken = true;
  SetPanicHook(&GiveTerminalBack);
  WriteOut("\x1b[?1049h\x1b[?25l");
}

// Length of a text as the terminal shows it: escape sequences take no room.
size_t VisibleLength(const std::string& text) {
  size_t length = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b') {
      while (i < text.size() && !(text[i] >= '@' && text[i] <= '~' && text[i] != '[')) ++i;
      continue;
    }
    ++length;
  }
  return length;
}

std::string Pad(const std::string& text, size_t width) {
  const size_t length = VisibleLength(text);
  return length >= width ? text : text + std::string(width - length, ' ');
}

std::string Fit(const std::string& text, size_t width) {
  return text.size() > width ? text.substr(0, width) : text;
}

// "+- caption ----+" of the given total width.
std::string FrameTop(const std::string& caption, size_t width) {
  std::string line = "+- " + caption + " ";
  while (line.size() + 1 < width) line += '-';
  return line + "+";
}

std::string FrameBottom(size_t width) { return "+" + std::string(width - 2, '-') + "+"; }

std::string Button(char key, const char* caption, bool enabled) {
  const std::string text = std::string("[") + key + "] " + caption;
  return enabled ? text : "\x1b[2m" + text + "\x1b[22m";
}

}  // namespace

TServerControl DefaultServerControl() {
  return TServerControl{[] { StartServer(); }, [] { StopServer(); }, [] { return SystemParameters().Running(); }};
}

bool HasTerminal() { return platform::StandardStreamsAreTerminal(); }

Tdialogfm::Tdialogfm(TMode mode, TServerControl control) : mode_(mode), control_(std::move(control)) {
  // Blocked here, before the toggle starts any thread, so that every thread inherits the mask
  // and the signals wait for this window's loop.
  signalFd_ = platform::OpenConsoleSignals();

  if (mode_ == TMode::Terminal) {
    TakeTerminal();
    terminalReady_ = g_terminalTaken;
  }
  RunToggleReporting();
  const std::string version = SystemParameters().VersionText();
  if (!version.empty()) versionCaption_ = version;
  Draw();
}

Tdialogfm::~Tdialogfm() {
  try {
    if (control_.running()) ToggleServer();
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    // A destructor cannot raise; the server control has logged the failed stop already.
    ShowError("unknown failure");
  }
  ReleaseTerminal();
  platform::CloseConsoleSignals(signalFd_);
}

void Tdialogfm::ReleaseTerminal() {
  if (!terminalReady_) return;
  GiveTerminalBack();
  terminalReady_ = false;
  mode_ = TMode::Headless;
  // A failure still on the screen would vanish with it: it goes to standard error instead.
  if (!error_.empty()) ShowError(error_);
  error_.clear();
}

void Tdialogfm::ToggleServer() {
  try {
    if (control_.running()) {
      status_ = "Server is shutting down";
      Draw();
      control_.stop();
      startEnabled_ = true;
      stopEnabled_ = false;
    } else {
      status_ = "Server is starting up";
      Draw();
      control_.start();
      startEnabled_ = false;
      stopEnabled_ = true;
      // Where to reach it, on all addresses: the ports carry TOVENMARSH_PORT_OFFSET, which is
      // easy to forget.
      listening_ = ListeningSummary(5000);
      if (!listening_.empty() && mode_ != TMode::Terminal) {
        WriteOut("tovenmarsh listening on all addresses: " + listening_ + "\n");
      }
    }
    status_ = control_.running() ? "Server is running" : "Server is not running";
  } catch (...) {
    status_ = "Error has occurred, check logfile";
    // The buttons follow what the failed toggle left behind: a stop that failed has still
    // stopped the server, so Stop must not now start it again (and Start must be usable).
    try {
      const bool running = control_.running();
      startEnabled_ = !running;
      stopEnabled_ = running;
    } catch (...) {
      // The toggle's own failure is the one reported; the buttons keep their last state.
    }
    throw;
  }
}

void Tdialogfm::StartButtonClick() { ToggleServer(); }
void Tdialogfm::StopButtonClick() { ToggleServer(); }
void Tdialogfm::SvrOvcButtonHeaderClick() { ToggleServer(); }
void Tdialogfm::ExitButtonClick() { FormClose(); }

void Tdialogfm::HideLabelClick() {
  minimized_ = true;
  FormHide();
}

bool Tdialogfm::FormClose() {
  if (control_.running()) {
    status_ = "Stop server first to exit application";
    return false;
  }
  closed_ = true;
  return true;
}

void Tdialogfm::FormShow() { timerEnabled_ = true; }
void Tdialogfm::FormHide() { timerEnabled_ = false; }
void Tdialogfm::SysNextLabelClick() { sysInfoVisible_ = false; }
void Tdialogfm::AboutNextLabelClick() { sysInfoVisible_ = true; }

void Tdialogfm::SysInfoTimerTimer() {
  const TSystemParameters& parameters = SystemParameters();
  current_[0] = std::to_string(parameters.ThreadCount());
  peak_[0] = std::to_string(parameters.ThreadPeak());
  for (int kind = 1; kind <= kConnectionKindCount; ++kind) {
    current_[kind] = std::to_string(parameters.ConnectionCount(kind));
    peak_[kind] = std::to_string(parameters.ConnectionPeak(kind));
  }
}

void Tdialogfm::RunToggleReporting() {
  try {
    ToggleServer();
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    ShowError("unknown failure");
  }
}

void Tdialogfm::ShowError(const std::string& text) {
  if (mode_ == TMode::Terminal) {
    error_ = text;
  } else {
    platform::ShowMessageBox(text, SystemParameters().ProductName(), platform::TMessageIcon::Error);
  }
}

void Tdialogfm::KeyPress(char key) {
  error_.clear();
  if (minimized_) {
    minimized_ = false;
    FormShow();
    return;
  }
  try {
    switch (key) {
      case 's': case 'S':
        if (startEnabled_) StartButtonClick();
        break;
      case 't': case 'T':
        if (stopEnabled_) StopButtonClick();
        break;
      case 'x': case 'X':
        ExitButtonClick();
        break;
      case 'h': case 'H':
        HideLabelClick();
        break;
      case 'n': case 'N': case '>':
        if (sysInfoVisible_) {
          SysNextLabelClick();
        } else {
          AboutNextLabelClick();
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
}

std::string Tdialogfm::Render(int columns, int rows) const {
  std::vector<std::string> lines;
  const size_t inner = kInnerWidth;
  const size_t group = inner - 2;  // a group box inside the window
  auto row = [&](const std::string& text) { lines.push_back("|" + Pad(" " + text, inner) + "|"); };
  auto groupRow = [&](const std::string& text) { row(Pad("| " + text, group - 1) + "|"); };

  if (minimized_) {
    lines.push_back("tovenmarsh (hidden): press any key to show the window");
  } else {
    lines.push_back(FrameTop("tovenmarsh", inner + 2));
    row(Button('S', "Start", startEnabled_) + "  " + Button('T', "Stop", stopEnabled_) + "  " +
        Button('X', "Exit", true) + "    " + Button('H', "Hide", true));
    row("");
    if (sysInfoVisible_) {
      row(FrameTop("System information", group));
      groupRow(Pad("", 20) + Pad("Now", 9) + "Peak");
      for (int i = 0; i < 6; ++i) {
        groupRow(Pad(kCounterCaptions[i], 20) + Pad(current_[i], 9) + peak_[i]);
      }
      groupRow(Pad("", 29) + "[N] >>");
    } else {
      row(FrameTop("About tovenmarsh ", group));
      for (const char* line : kAboutMemo) groupRow(line);
      groupRow("");
      groupRow(Pad("", 29) + "[N] >>");
    }
    row(FrameBottom(group));
    row(FrameBottom(group));  // Panel: version and logo
    groupRow(Pad(Fit(versionCaption_, 20), group - 14) + "tovenmarsh");
    row(FrameBottom(group));
    row(FrameBottom(group));  // Statuspanel
    groupRow(Fit(status_, group - 4));
    if (!listening_.empty() && !startEnabled_) groupRow(Fit(listening_, group - 4));
    groupRow(error_.empty() ? std::string() : "\x1b[91m" + Fit(error_, group - 4) + "\x1b[97m");
    row(FrameBottom(group));
    lines.push_back(FrameBottom(inner + 2));
  }

  // Centred on the screen, white on black.
  const int width = static_cast<int>(VisibleLength(lines.front()));
  const int left = columns > width ? (columns - width) / 2 : 0;
  const int top = rows > static_cast<int>(lines.size()) ? (rows - static_cast<int>(lines.size())) / 2 : 0;
  std::string frame = "\x1b[40m\x1b[97m\x1b[2J";
  for (size_t i = 0; i < lines.size(); ++i) {
    frame += platform::Format("\x1b[%d;%dH", top + static_cast<int>(i) + 1, left + 1);
    frame += lines[i];
  }
  return frame;
}

void Tdialogfm::Draw() {
  if (mode_ != TMode::Terminal || !terminalReady_) return;
  int columns = 80, rows = 24;  // unless the terminal tells
  platform::TerminalSize(columns, rows);
  WriteOut(Render(columns, rows));
}

bool Tdialogfm::HandleSignals() {
  bool any = false;
  while (const int signal = platform::NextConsoleSignal(signalFd_)) {
    any = true;
    switch (signal) {
      case SIGTERM:
      case SIGINT:
        if (control_.running()) {
          try {
            ToggleServer();
          } catch (const std::exception& e) {
            ShowError(e.what());
            exitCode_ = 1;
          }
        }
        if (!FormClose()) {
          closed_ = true;  // a stop that failed still ends the process when asked to
          exitCode_ = 1;
        }
        break;
      case SIGHUP:
        if (control_.running()) RunToggleReporting();
        if (!control_.running()) RunToggleReporting();
        break;
      default:  // SIGWINCH: the caller redraws
        break;
    }
  }
  return any;
}

bool Tdialogfm::HandleInput() {
  char keys[64];
  const int n = platform::ReadKeys(keys, sizeof keys);
  if (n == 0 || n == -2) return false;
  for (int i = 0; i < n; ++i) {
    if (keys[i] == '\x1b') break;  // arrow keys and the like: ignored whole
    KeyPress(keys[i]);
  }
  return true;
}

int Tdialogfm::Run() {
  using Clock = std::chrono::steady_clock;
  bool readKeys = mode_ == TMode::Terminal && terminalReady_;
  auto nextTick = Clock::now() + std::chrono::seconds(1);
  if (timerEnabled_) SysInfoTimerTimer();
  Draw();
  while (!closed_) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now()).count();
    const platform::TConsoleWait ready =
        platform::WaitForConsole(signalFd_, readKeys, wait > 0 ? static_cast<int>(wait) : 0);
    bool redraw = false;
    if (ready.signal) redraw = HandleSignals();
    if (ready.keys) {
      if (!ready.keysReadable || !HandleInput()) {
        // The terminal went away: the server goes on headless, and signals still reach it.
        readKeys = false;
        terminalReady_ = false;
        g_terminalTaken = false;
        mode_ = TMode::Headless;
      }
      redraw = true;
    }
    if (Clock::now() >= nextTick) {
      nextTick += std::chrono::seconds(1);
      if (timerEnabled_) SysInfoTimerTimer();
      redraw = true;
    }
    if (redraw && !closed_) Draw();
  }
  ReleaseTerminal();
  return exitCode_;
}

}  // namespace tovenmarsh::core
