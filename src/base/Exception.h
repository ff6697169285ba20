// The general exception class of the class library and its stock descendants.
#pragma once
#include <exception>
#include <string>

namespace evc {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Raised by streams that cannot read or write the requested bytes.
class EStreamError : public Exception {
  using Exception::Exception;
};
class EReadError : public EStreamError {
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
  using EStreamError::EStreamError;
};
// Raised for an index outside a list.
class EListError : public Exception {
  using Exception::Exception;
};
// Raised when a value cannot be converted or assigned.
class EConvertError : public Exception {
  using Exception::Exception;
};
// Raised for an invalid component operation (a bad or duplicate name, ...).
class EComponentError : public Exception {
  using Exception::Exception;
};
// Raised for a property that does not exist, is read-only or gets a value of
// the wrong kind.
class EPropertyError : public Exception {
  using Exception::Exception;
};

}  // namespace evc
