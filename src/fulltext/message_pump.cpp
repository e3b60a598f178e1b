// The injectable message-pump hook.
#include "fulltext/message_pump.h"

#include <mutex>

namespace tovenmarsh::fulltext {
namespace {

struct Pump {
  std::mutex lock;
  std::function<void()> hook;
};

Pump& ThePump() {
  static Pump pump;
  return pump;
}

}  // namespace

std::function<void()> SetMessagePump(std::function<void()> pump) {
  Pump& p = ThePump();
  std::lock_guard<std::mutex> guard(p.lock);
  std::swap(p.hook, pump);
  return pump;
}

void ProcessMessages() {
  std::function<void()> hook;
  {
    Pump& p = ThePump();
    std::lock_guard<std::mutex> guard(p.lock);
    hook = p.hook;
  }
  if (hook) hook();
}

}  // namespace tovenmarsh::fulltext
