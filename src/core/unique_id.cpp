// Unique identifiers: clock, tick count, a per-process sequence and the caller's number.
#include "core/unique_id.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <random>

#include "core/system_parameters.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/format.h"
#include "platform/stream.h"
#include "platform/tick.h"

namespace tovenmarsh::core {
namespace {

// The fourth group runs through all 65535 values 0..65534 before it repeats: a process-wide
// counter times a step coprime to 65535, offset by one random seed so that processes differ.
constexpr uint64_t kGroupRange = 65535;
constexpr uint64_t kGroupStep = 40507;
static_assert(kGroupStep % 3 != 0 && kGroupStep % 5 != 0 && kGroupStep % 17 != 0 && kGroupStep % 257 != 0,
              "the step must be coprime to 65535");

std::atomic<uint64_t> g_sequence{0};

uint64_t Seed() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32 | device()) % kGroupRange;
  }();
  return seed;
}

constexpr int kCreateAttempts = 1000;

}  // namespace

std::string MakeUniqueId(int n) {
  const uint64_t group = (Seed() + g_sequence.fetch_add(1) * kGroupStep) % kGroupRange;
  const platform::TDateTime now = platform::Now();
  const double whole = std::floor(now);
  const auto day = static_cast<uint32_t>(static_cast<int64_t>(whole));
  const auto fraction = static_cast<uint32_t>((now - whole) * 10000.0);
  return platform::Format("%08X_%08X_%08X_%04X_%05X", day, fraction, platform::GetTickCount(),
                          static_cast<unsigned>(group), static_cast<unsigned>(n) & 0xFFFFFu);
}

std::string MakeTempFileName() { return SystemParameters().TempFolder() + MakeUniqueId(0); }

std::string CreateUniqueFile(const std::string& folder, int n, const std::string& extension) {
  int error = 0;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const std::string path = folder + MakeUniqueId(n) + extension;
    platform::TFileDescriptor file;
    error = platform::OpenFile(path, platform::kOpenNew, file);
    if (error == 0) return path;
    if (error != EEXIST) break;
  }
  throw platform::EFCreateError(
      platform::Format("Cannot create a unique file in \"%s\". %s", folder.c_str(),
                       platform::FileSystemReason(error).c_str()));
}

}  // namespace tovenmarsh::core
