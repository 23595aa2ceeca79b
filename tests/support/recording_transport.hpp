// A fake HTTP transport for unit tests: keeps every request and answers with
// whatever the test's handler returns (200 with no body when there is none).
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "shared/net/http.hpp"

namespace testing_support {

class RecordingTransport : public shared::net::Transport {
 public:
  using Handler = std::function<shared::net::Response(const shared::net::Request&)>;

  explicit RecordingTransport(Handler handler = {}) : handler_(std::move(handler)) {}

  shared::net::Response send(const shared::net::Request& request) override {
    Handler h;
    {
      std::lock_guard lock(mu_);
      requests_.push_back(request);
      h = handler_;
    }
    if (!h) return shared::net::Response{200, {}, ""};
    return h(request);
  }

  void set_handler(Handler handler) {
    std::lock_guard lock(mu_);
    handler_ = std::move(handler);
  }
  std::vector<shared::net::Request> requests() const {
    std::lock_guard lock(mu_);
    return requests_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    requests_.clear();
  }

 private:
  mutable std::mutex mu_;
  Handler handler_;
  std::vector<shared::net::Request> requests_;
};

}  // namespace testing_support
