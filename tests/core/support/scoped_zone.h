// Sets the TZ environment variable for one scope and restores it afterwards.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace tovenmarsh::core::testing {

class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace tovenmarsh::core::testing
