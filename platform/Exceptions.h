#pragma once

#include <stdexcept>
#include <string>

// The root of every component; events that carry a sender pass one of these.
class TObject {
public:
  virtual ~TObject() = default;
};

// Every error this program raises derives from Exception, so the guard around
// each event handler can show its text.
class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
  std::string Message() const { return what(); }
};

// A text that should have been a number.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// A file that could not be opened, read or written.
class EInOutError : public Exception {
public:
  using Exception::Exception;
};
