// The registry of the subsystems' start and stop routines.
#include "core/server_steps.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace tovenmarsh::core {
namespace {

std::mutex g_stepsLock;
std::vector<TServerSubsystem>& Registry() {
  static std::vector<TServerSubsystem> subsystems;
  return subsystems;
}

bool IsOneOf(int value, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

}  // namespace

void RegisterServerSubsystem(TServerSubsystem subsystem) {
  if (!IsOneOf(subsystem.startStep, {kStepDatabaseResources, kStepMailServices, kStepWebServices,
                                     kStepDocumentIndexing, kStepLoginSessions})) {
    throw std::invalid_argument("No subsystem runs at start step " + std::to_string(subsystem.startStep));
  }
  if (!IsOneOf(subsystem.stopStep, {kStopLoginSessions, kStopDocumentIndexing, kStopWebServices,
                                    kStopMailServices, kStopDatabaseResources})) {
    throw std::invalid_argument("No subsystem runs at stop step " + std::to_string(subsystem.stopStep));
  }
  if (!subsystem.start) throw std::invalid_argument("Subsystem " + subsystem.name + " has no start routine");
  std::lock_guard<std::mutex> guard(g_stepsLock);
  std::vector<TServerSubsystem>& subsystems = Registry();
  std::erase_if(subsystems, [&](const TServerSubsystem& s) { return s.startStep == subsystem.startStep; });
  subsystems.push_back(std::move(subsystem));
  std::sort(subsystems.begin(), subsystems.end(),
            [](const TServerSubsystem& a, const TServerSubsystem& b) { return a.startStep < b.startStep; });
}

void ClearServerSubsystems() {
  std::lock_guard<std::mutex> guard(g_stepsLock);
  Registry().clear();
}

std::vector<TServerSubsystem> ServerSubsystems() {
  std::lock_guard<std::mutex> guard(g_stepsLock);
  return Registry();
}

}  // namespace tovenmarsh::core
