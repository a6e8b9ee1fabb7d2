// The runtime's exception types. Every error in the system is one of these,
// carrying the message the user (or the log) will see.
#pragma once
#include <exception>
#include <string>

namespace plat {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// "'%s' ist kein gültiger Integerwert" (0xFC for the u-umlaut).
class EConvertError : public Exception {
 public:
  explicit EConvertError(const std::string& text);
};

// "Datei %s kann nicht geöffnet werden" (0xF6 for the o-umlaut).
class EFOpenError : public Exception {
 public:
  explicit EFOpenError(const std::string& fileName);
};

// "Datei %s kann nicht erstellt werden".
class EFCreateError : public Exception {
 public:
  explicit EFCreateError(const std::string& fileName);
};

}  // namespace plat
