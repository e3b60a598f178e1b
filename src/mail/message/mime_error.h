// The mail subsystem's MIME exception.
#pragma once

#include "platform/exception.h"

namespace tovenmarsh::mail {

// Raised by the message model for a part index out of range ("MsgPart range overflow").
class EMimeError : public platform::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EMimeError"; }
};

}  // namespace tovenmarsh::mail
