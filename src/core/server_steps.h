// The registry of the subsystems' own start and stop routines, which the start and stop
// sequences run at their fixed places. The core knows nothing of the subsystems above it: the
// program entry registers them (database resources, mail services, web server, document
// indexing, login sessions) before the first start.
//
// Contract:
// - A subsystem names the step of the start sequence (3, 5, 6, 7 or 8) and the step of the
//   stop sequence (8, 6, 5, 4 or 3) at which it runs; registering a step number again replaces
//   that subsystem. A step without a subsystem is simply skipped.
// - ServerSubsystems() answers a copy in start-step order; the registry is thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tovenmarsh::core {

// Start-sequence steps the subsystems fill (the others belong to the core).
inline constexpr int kStepDatabaseResources = 3;
inline constexpr int kStepMailServices = 5;
inline constexpr int kStepWebServices = 6;
inline constexpr int kStepDocumentIndexing = 7;
inline constexpr int kStepLoginSessions = 8;

// Stop-sequence steps of the same subsystems.
inline constexpr int kStopLoginSessions = 3;
inline constexpr int kStopDocumentIndexing = 4;
inline constexpr int kStopWebServices = 5;
inline constexpr int kStopMailServices = 6;
inline constexpr int kStopDatabaseResources = 8;

struct TServerSubsystem {
  std::string name;  // for the log: "in <name>"
  int startStep = 0;
  int stopStep = 0;
  std::function<void()> start;
  std::function<void()> stop;  // may be empty
};

// Raises std::invalid_argument for a start step other than 3, 5, 6, 7, 8 or a stop step other
// than 3, 4, 5, 6, 8, or for an empty start routine.
void RegisterServerSubsystem(TServerSubsystem subsystem);
void ClearServerSubsystems();
std::vector<TServerSubsystem> ServerSubsystems();

}  // namespace tovenmarsh::core
