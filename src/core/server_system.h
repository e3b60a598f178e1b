// The small base of the protocol state objects kept by the mail and web systems: one integer,
// given at creation. Systems are made through a factory so that a holder can be handed the
// kind of state object it should create without knowing its class.
#pragma once

#include <functional>
#include <memory>

namespace tovenmarsh::core {

class TServerSystem {
 public:
  explicit TServerSystem(int value) : value_(value) {}
  virtual ~TServerSystem() = default;
  TServerSystem(const TServerSystem&) = delete;
  TServerSystem& operator=(const TServerSystem&) = delete;

  int Value() const { return value_; }

 private:
  int value_;
};

// Creates a state object from its integer.
using TServerSystemFactory = std::function<std::unique_ptr<TServerSystem>(int)>;

template <class T>
TServerSystemFactory ServerSystemFactory() {
  return [](int value) -> std::unique_ptr<TServerSystem> { return std::make_unique<T>(value); };
}

}  // namespace tovenmarsh::core
