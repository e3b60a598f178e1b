// Root of every exception the system raises.
//
// Log entries name an exception by its class ("(EWinsockError) text"), so each class reports its
// own name through ClassName(); TM_DECLARE_EXCEPTION declares one in a line.
#pragma once

#include <exception>
#include <string>

namespace tovenmarsh::platform {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

}  // namespace tovenmarsh::platform

// Declares `class Name : public Base` with Base's constructors and ClassName() == "Name".
// Base may be qualified (platform::Exception): it is named once, through an alias.
#define TM_DECLARE_EXCEPTION(Name, Base)                                    \
  class Name : public Base {                                                \
    using InheritedException = Base;                                        \
                                                                            \
   public:                                                                  \
    using InheritedException::InheritedException;                           \
    const char* ClassName() const noexcept override { return #Name; }      \
  }

namespace tovenmarsh::platform {

// The class library's conversion failure (a text that is no valid number or date).
TM_DECLARE_EXCEPTION(EConvertError, Exception);

}  // namespace tovenmarsh::platform
