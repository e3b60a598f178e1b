// Start and stop of the whole server.
//
// StartServer runs the start sequence (configuration, log and folders, sockets and the
// manager thread, the subsystems' own starts) and marks the system running; a start that fails
// part-way undoes what it did, so it may simply be tried again. StopServer runs the stop
// sequence best-effort through every step and always leaves the system not running.
#pragma once

#include <string>
#include <vector>

namespace tovenmarsh::core {

// The program's command-line arguments after the program name (read by StartSystem).
void SetProgramArguments(std::vector<std::string> arguments);

// Loads the configuration and version, sets the rebuild switch, opens the log and creates the
// folders (a folder that cannot be created is a Panic).
void StartSystem();
// Closes the log.
void StopSystem();

void StartServer();
void StopServer();

}  // namespace tovenmarsh::core
