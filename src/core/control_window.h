// Tdialogfm: the server's control window.
//
// Creating it starts the server; Start and Stop run the same start/stop toggle; it refuses to
// close while the server runs; a one-second timer copies the thread and connection counters
// into its twelve value labels. On a terminal (standard input and output both terminals) it is
// drawn full-screen with ANSI sequences and driven by keys; otherwise it runs headless. In both
// modes SIGTERM and SIGINT stop the server and close the window, and SIGHUP stops and starts it
// again; signals are read on the window's own thread through a signalfd.
#pragma once

#include <functional>
#include <string>

namespace tovenmarsh::core {

// What the window drives; by default the real StartServer, StopServer and running flag.
struct TServerControl {
  std::function<void()> start;
  std::function<void()> stop;
  std::function<bool()> running;
};
TServerControl DefaultServerControl();

class Tdialogfm {
 public:
  enum class TMode { Headless, Terminal };

  // Blocks the signals it handles (before the toggle starts any thread), then runs the
  // creation handler: the toggle, then the version label.
  explicit Tdialogfm(TMode mode, TServerControl control = DefaultServerControl());
  // Stops a server that still runs.
  ~Tdialogfm();
  Tdialogfm(const Tdialogfm&) = delete;
  Tdialogfm& operator=(const Tdialogfm&) = delete;

  // The message loop: until the window closes. Returns the process's exit code.
  int Run();

  // Handlers.
  void ToggleServer();
  void StartButtonClick();
  void StopButtonClick();
  void SvrOvcButtonHeaderClick();
  void ExitButtonClick();
  void HideLabelClick();
  // Answers whether the window closed.
  bool FormClose();
  void FormShow();
  void FormHide();
  void SysNextLabelClick();
  void AboutNextLabelClick();
  void SysInfoTimerTimer();

  // One key of the terminal window (what its key legend shows).
  void KeyPress(char key);
  // The terminal frame for a screen of the given size.
  std::string Render(int columns, int rows) const;

  // What the window shows.
  const std::string& StatusText() const { return status_; }
  const std::string& VersionCaption() const { return versionCaption_; }
  bool StartEnabled() const { return startEnabled_; }
  bool StopEnabled() const { return stopEnabled_; }
  bool SysInfoVisible() const { return sysInfoVisible_; }
  bool Minimized() const { return minimized_; }
  bool TimerEnabled() const { return timerEnabled_; }
  bool Closed() const { return closed_; }
  // The value labels: row 0 threads, 1 HTTP, 2 SMTP, 3 POP3, 4 POPMail tasks, 5 relay tasks.
  const std::string& CurrentLabel(int row) const { return current_[row]; }
  const std::string& PeakLabel(int row) const { return peak_[row]; }

 private:
  void RunToggleReporting();
  void ShowError(const std::string& text);
  void Draw();
  // Gives the terminal back; from then on the window is headless.
  void ReleaseTerminal();
  bool HandleSignals();
  bool HandleInput();  // false once the terminal is gone

  TMode mode_;
  TServerControl control_;
  std::string status_;
  std::string versionCaption_ = "Version ma.mi.re.bu";
  std::string error_;  // the last failure, shown until the next key
  std::string listening_;  // the ports listened on since the last start
  bool startEnabled_ = true;
  bool stopEnabled_ = true;
  bool sysInfoVisible_ = true;
  bool minimized_ = false;
  bool timerEnabled_ = true;
  bool closed_ = false;
  int exitCode_ = 0;
  std::string current_[6] = {"0", "0", "0", "0", "0", "0"};
  std::string peak_[6] = {"0", "0", "0", "0", "0", "0"};
  int signalFd_ = -1;
  bool terminalReady_ = false;
};

// True when standard input and standard output are both terminals.
bool HasTerminal();

}  // namespace tovenmarsh::core
