// EClException: the base of the container library's and the full-text engine's errors, a
// message with a numeric code. Kept apart from cl_errors.h so that the string-table loader,
// which the error texts come from, can raise its own errors without depending on them.
#pragma once

#include <string>

#include "platform/exception.h"

namespace tovenmarsh::fulltext {

class EClException : public platform::Exception {
 public:
  EClException(int code, std::string message) : platform::Exception(std::move(message)), code_(code) {}
  int Code() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "EClException"; }

 private:
  int code_;
};

}  // namespace tovenmarsh::fulltext
