// The console over POSIX terminals, poll and signalfd (see terminal.h).
#include "platform/terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tovenmarsh::platform {

namespace {

bool g_saved = false;
termios g_savedTerminal{};

}  // namespace

bool StandardStreamsAreTerminal() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

bool SetTerminalRaw() {
  if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return false;
  g_saved = true;
  termios raw = g_savedTerminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  return true;
}

void RestoreTerminal() {
  if (g_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
}

void WriteToStandardOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

bool TerminalSize(int& columns, int& rows) {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return false;
  columns = size.ws_col;
  rows = size.ws_row;
  return true;
}

int OpenConsoleSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGWINCH);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

int NextConsoleSignal(int signals) {
  signalfd_siginfo info{};
  if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

void CloseConsoleSignals(int signals) {
  if (signals >= 0) close(signals);
}

TConsoleWait WaitForConsole(int signals, bool watchKeys, int milliseconds) {
  pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  TConsoleWait result;
  if (poll(fds, watchKeys ? 2 : 1, milliseconds) <= 0) return result;
  result.signal = (fds[0].revents & POLLIN) != 0;
  result.keys = watchKeys && fds[1].revents != 0;
  result.keysReadable = watchKeys && (fds[1].revents & POLLIN) != 0;
  return result;
}

int ReadKeys(char* buffer, size_t size) {
  const ssize_t n = read(STDIN_FILENO, buffer, size);
  if (n >= 0) return static_cast<int>(n);
  return errno == EINTR || errno == EAGAIN ? -1 : -2;
}

}  // namespace tovenmarsh::platform
