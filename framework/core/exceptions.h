#pragma once
// The run time's exception classes. Every failure the system reports to the
// user is one of these; the application's default handler shows `Message`.

#include <exception>
#include <string>

namespace fw {

// Base exception: carries the text shown to the user.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }

  std::string Message;
};

// Database errors: raised by the dataset layer and, through
// ETabulaEngineError, by the table engine.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// A text could not be converted to a value.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A list index, count or capacity out of bounds.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// An input/output failure outside the engine (streams, files).
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};

// A picture operation that cannot be done (bad or unsupported image data).
class EInvalidGraphicOperation : public Exception {
 public:
  using Exception::Exception;
};

// A system resource could not be had (timer, bitmap, handle).
class EOutOfResources : public Exception {
 public:
  using Exception::Exception;
};

// An object was used as a type it is not.
class EInvalidCast : public Exception {
 public:
  using Exception::Exception;
};

// Replaces every "%d" / "%s" in order with the given texts; a small stand-in
// for the run time's Format on the few message patterns the system uses.
std::string FormatMessage(const std::string& pattern, std::initializer_list<std::string> args);

}  // namespace fw
