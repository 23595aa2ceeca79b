// shared.errors: the one flat family of exceptions raised by the package.
// what() is always the exact text that ends up in results and log lines.
#pragma once

#include <stdexcept>
#include <string>

namespace shared {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
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
      : Error(message), status(status_code), error_code(std::move(code)) {}
  long status = 0;         // HTTP status
  std::string error_code;  // the service's own error code, "" when none
};

// A remote service could not be reached or did not answer.
struct TransportError : Error {
  using Error::Error;
};

// PostgreSQL reported an error; sqlstate is its five-character code.
struct DatabaseError : Error {
  DatabaseError(const std::string& message, std::string state = {})
      : Error(message), sqlstate(std::move(state)) {}
  std::string sqlstate;
};

}  // namespace shared
