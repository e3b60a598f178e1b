// The console: the terminal on standard input and output (raw keys, size, drawing) and the
// termination signals a console program waits for instead of being killed by them.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovenmarsh::platform {

// Whether standard input and output are both terminals.
bool StandardStreamsAreTerminal();

// Saves the terminal's settings and switches it to keys one by one, unechoed (Ctrl-C stays a
// signal). False when standard input is no terminal.
bool SetTerminalRaw();
// Puts the saved settings back (nothing when SetTerminalRaw never succeeded).
void RestoreTerminal();

// Writes every byte to standard output; a terminal that went away takes the rest unseen.
void WriteToStandardOutput(std::string_view bytes);
// The terminal's size in characters; false when it cannot be told.
bool TerminalSize(int& columns, int& rows);

// Blocks SIGTERM, SIGINT, SIGHUP and SIGWINCH for the calling thread (and the threads it starts
// later) and answers a descriptor on which they arrive instead (-1 when none could be made).
int OpenConsoleSignals();
// The next signal waiting on that descriptor, 0 when none is waiting.
int NextConsoleSignal(int signals);
void CloseConsoleSignals(int signals);

struct TConsoleWait {
  bool signal = false;      // a signal waits
  bool keys = false;        // standard input has something (keys, or its end or an error)
  bool keysReadable = false;  // ... and it is keys to read
};
// Waits up to milliseconds (0: only looks) for a signal on signals, and for standard input
// when watchKeys.
TConsoleWait WaitForConsole(int signals, bool watchKeys, int milliseconds);

// Reads the keys typed so far: their count, 0 at the end of input, -1 when nothing could be
// read now (interrupted or nothing waiting), -2 on an error.
int ReadKeys(char* buffer, size_t size);

}  // namespace tovenmarsh::platform
