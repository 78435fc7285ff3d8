#pragma once

#include <exception>
#include <string>

#include "runtime/export.h"

namespace kyt {

// The root of every exception that crosses the host boundary: a message text and nothing else,
// so a host can catch what it cannot name.
class KYT_RT_API Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override;

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A value could not be converted to the requested type.
class KYT_RT_API EConvertError : public Exception {
 public:
  using Exception::Exception;
  ~EConvertError() override;
};

}  // namespace kyt
