// A stand-in for the Microsoft Entra ID token endpoints in tests: a small
// HTTP server on 127.0.0.1 (a free port) that answers the client-credentials
// grant (client secret or federated assertion) at /{tenant}/oauth2/v2.0/token,
// the App Service managed-identity endpoint at /msi/token and the instance
// metadata endpoint at /metadata/identity/oauth2/token. It mints HS256 JWTs
// with the claims the storage emulator checks (aud, iss, nbf, exp), records
// every request and every token, and can be told to fail.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_model_server.hpp"

namespace testing_support {

class FakeTokenIssuer {
 public:
  FakeTokenIssuer();
  ~FakeTokenIssuer();
  FakeTokenIssuer(const FakeTokenIssuer&) = delete;
  FakeTokenIssuer& operator=(const FakeTokenIssuer&) = delete;

  // "http://127.0.0.1:PORT": the authority host; the managed-identity
  // endpoint is endpoint() + "/msi/token".
  std::string endpoint() const;
  // Closes the listening socket: later requests find nobody.
  void stop();

  // What a grant must carry; "" takes any.
  void expect_client(std::string client_id, std::string secret);
  void expect_assertion(std::string assertion);
  void expect_identity_header(std::string header);
  // Seconds a minted token is valid (expires_in); 3600 by default.
  void set_lifetime(long seconds);
  // The audience of every minted token; "" (default) derives it from the scope.
  void set_audience(std::string audience);
  // The next `times` requests get `status` with an OAuth error body.
  void fail(int times, long status);
  // Called with each token before it is sent.
  void on_mint(std::function<void(const std::string& token)> f);

  std::vector<RecordedRequest> requests() const;
  std::vector<std::string> tokens() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
