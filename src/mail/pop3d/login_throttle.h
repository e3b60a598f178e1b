// TLoginThrottle: the failed POP3 logins of each client address, shared by the connections of
// one listener, so that guessing passwords gets slower the more an address fails.
//
// Each failure from an address makes the reply to it wait longer: the first delay, doubled per
// further failure, never more than the longest delay. An address whose last failure is older
// than the forget time starts again from the first delay. At most a fixed number of addresses
// are kept; when full, the one that failed least recently is forgotten first. The throttle only
// reckons; the connection waits, on its own thread, so no other session is held up.
// Thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform/date_time.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

class TLoginThrottle {
 public:
  struct TSettings {
    int firstDelayMs = 1000;
    int longestDelayMs = 16000;
    double forgetDays = 15 * 0.000694;  // 15 minutes
    size_t addresses = 10000;
  };

  struct TFailure {
    int count = 0;    // failures of the address within the forget time, this one included
    int delayMs = 0;  // how long the reply to this one waits
  };

  TLoginThrottle();
  explicit TLoginThrottle(TSettings settings);

  // Notes a failed login from address at now.
  TFailure Failed(const std::string& address, platform::TDateTime now);
  // Failures of the address that still count at now.
  int Failures(const std::string& address, platform::TDateTime now);

 private:
  struct TEntry {
    int count = 0;
    platform::TDateTime last = 0;
  };

  void ForgetOldest();

  const TSettings settings_;
  platform::TCriticalSection lock_;
  std::map<std::string, TEntry> entries_;
};

}  // namespace tovenmarsh::mail
