#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qb::access {

// The error numbers callers of the access library act on.
enum class ErrorCode : int64_t {
  GeneralFailure = 0x80004005,  // the bus or the device failed (CRC, no answer, adapter gone)
  NotSupported = 438,           // the device has no such operation
  NoObject = 91,                // no container or adapter to act on
};

// An error raised inside the access library: a code the caller can act on, the source that
// raised it (the adapter or part name) and a message for a person.
class AccessError : public std::runtime_error {
 public:
  AccessError(ErrorCode code, std::string source, const std::string& message)
      : std::runtime_error(message), code_(code), source_(std::move(source)) {}
  ErrorCode code() const { return code_; }
  int64_t number() const { return static_cast<int64_t>(code_); }
  const std::string& source() const { return source_; }

 private:
  ErrorCode code_;
  std::string source_;
};

[[noreturn]] inline void ThrowNotSupported(const std::string& part, const std::string& call) {
  throw AccessError(ErrorCode::NotSupported, part, call + " is not supported by the " + part);
}

[[noreturn]] inline void ThrowBusError(const std::string& source, const std::string& message) {
  throw AccessError(ErrorCode::GeneralFailure, source, message);
}

}  // namespace qb::access

namespace qb::access {
// A failed CRC check inside a transaction; transactions are retried on it before it is raised.
class CrcError : public AccessError {
 public:
  CrcError(std::string source, const std::string& message)
      : AccessError(ErrorCode::GeneralFailure, std::move(source), message) {}
};

// An operation that started a 1-Wire transaction was cut off by a lost or garbled adapter reply.
// The adapter was brought back to a known state, which reset the bus, so the devices forgot the
// transaction: the whole transaction must be run again. The containers retry transactions on
// CrcError, so this is one.
class TransactionInterrupted : public CrcError {
 public:
  using CrcError::CrcError;
};
}  // namespace qb::access
