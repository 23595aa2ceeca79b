// Whether an error may pass by itself, as every caller that tries again asks it.
#include "shared/errors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using shared::transient;

TEST(Errors, EachErrorSaysWhetherItMayPass) {
  struct Case {
    std::string name;
    bool may_pass;
    std::function<void()> raise;
  };
  auto db = [](const char* state) { return [state] { throw shared::DatabaseError("db", state); }; };
  auto http = [](long status) { return [status] { throw shared::ServiceError("svc", status, ""); }; };
  const std::vector<Case> cases = {
      {"no answer at all", true, [] { throw shared::TransportError("refused"); }},
      {"HTTP 408", true, http(408)},
      {"HTTP 429", true, http(429)},
      {"HTTP 500", true, http(500)},
      {"HTTP 503", true, http(503)},
      {"HTTP 400", false, http(400)},
      {"HTTP 404", false, http(404)},
      {"HTTP 409", false, http(409)},
      {"connection failed, no state", true, db("")},
      {"08006 connection failure", true, db("08006")},
      {"53300 too many connections", true, db("53300")},
      {"57P01 admin shutdown", true, db("57P01")},
      {"40001 serialization failure", true, db("40001")},
      {"40P01 deadlock", true, db("40P01")},
      {"57014 query cancelled", false, db("57014")},
      {"40002 integrity constraint in commit", false, db("40002")},
      {"23505 unique violation", false, db("23505")},
      {"42P01 undefined table", false, db("42P01")},
      {"a value error", false, [] { throw shared::ValueError("bad"); }},
      {"not one of ours", false, [] { throw std::runtime_error("other"); }},
  };
  for (const Case& c : cases) {
    try {
      c.raise();
    } catch (const std::exception& e) {
      EXPECT_EQ(transient(e), c.may_pass) << c.name;
    }
  }
}
