// shared.errors: the one flat family of exceptions raised by the package.
// what() is always the exact text that ends up in results and log lines.
// Each error says whether it may pass by itself (transient()), decided once
// where it is built, so that whoever tries again asks the error instead of
// keeping a list of its own.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace shared {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
  // Whether a later try of the same operation may succeed: the fault lay
  // with a service that was out of reach, busy or failing, not with what was
  // asked of it.
  virtual bool transient() const noexcept { return false; }
};

// An argument or setting with an unusable value.
struct ValueError : Error {
  using Error::Error;
};

// An argument of the wrong kind (for example a record field that is not text).
struct TypeError : Error {
  using Error::Error;
};

// A remote service answered with a failure status.
struct ServiceError : Error {
  ServiceError(const std::string& message, long status_code, std::string code)
      : Error(message), status(status_code), error_code(std::move(code)), transient_(transient_status(status_code)) {}
  long status = 0;         // HTTP status
  std::string error_code;  // the service's own error code, "" when none
  // Statuses that say the service is out of breath or failing rather than
  // refusing the request: 408, 429 and every 5xx.
  static bool transient_status(long status) noexcept { return status == 408 || status == 429 || status >= 500; }
  bool transient() const noexcept override { return transient_; }

 private:
  bool transient_;
};

// A remote service could not be reached or did not answer: always transient.
struct TransportError : Error {
  using Error::Error;
  bool transient() const noexcept override { return true; }
};

// PostgreSQL reported an error; sqlstate is its five-character code.
struct DatabaseError : Error {
  DatabaseError(const std::string& message, std::string state = {})
      : Error(message), sqlstate(std::move(state)), transient_(transient_state(sqlstate)) {}
  std::string sqlstate;
  // Connection failures (class 08, and no state at all: the connection
  // could not be made or broke off), insufficient resources (53), an
  // operator or the server ending the session (57P), and a transaction
  // that lost a serialization conflict or a deadlock (40001, 40P01).
  static bool transient_state(std::string_view state) noexcept {
    return state.empty() || state.substr(0, 2) == "08" || state.substr(0, 2) == "53" || state.substr(0, 3) == "57P" ||
           state == "40001" || state == "40P01";
  }
  bool transient() const noexcept override { return transient_; }

 private:
  bool transient_;
};

// Whether `e` is one of ours that may pass by itself; anything else is not.
// Fits retry::Options::exceptions as it is.
inline bool transient(const std::exception& e) noexcept {
  const auto* error = dynamic_cast<const Error*>(&e);
  return error != nullptr && error->transient();
}

}  // namespace shared
