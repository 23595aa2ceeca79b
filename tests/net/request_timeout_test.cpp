// A service that takes the connection and then never answers (a frozen
// process: the kernel still completes the handshake) must not hold a
// document, a worker or a command for ever: every request ends after its
// timeout, then the retry wrapper's tries, then an error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/errors.hpp"
#include "shared/net/http.hpp"
#include "shared/processors/aigate.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::RecordedSleeps;
using testing_support::ScopedSettings;

// A port on 127.0.0.1 that listens but never accepts: connections are
// established by the kernel and then nothing is ever read or written.
class SilentPort {
 public:
  SilentPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0) {
      throw std::runtime_error("cannot listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentPort() { ::close(fd_); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

shared::config::Settings silent_services(const SilentPort& port) {
  shared::config::Settings s;
  s.STORAGE_CONNECTION_STRING = "AccountName=acct;AccountKey=YWI=;BlobEndpoint=" + port.url() +
                                "/acct;QueueEndpoint=" + port.url() + "/acct";
  s.STORAGE_CONTAINER_NAME = "c";
  s.AZURE_OPENAI_ENDPOINT = port.url();
  s.AZURE_OPENAI_KEY = "k";
  s.OPENAI_SUMMARY_MODEL = "m";
  s.STORAGE_TIMEOUT_S = 1;
  s.MODEL_TIMEOUT_S = 1;
  return s;
}

void expect_timed_out(const std::function<void()>& call, std::size_t waits, RecordedSleeps& sleeps) {
  try {
    call();
    ADD_FAILURE() << "a service that never answered was taken as answering";
  } catch (const shared::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
  }
  // Every try timed out on its own; the wrapper waited between them.
  EXPECT_EQ(sleeps.waits().size(), waits);
}

TEST(RequestTimeout, TransportEndsARequestNobodyAnswers) {
  SilentPort port;
  const auto transport = shared::net::make_curl_transport({.connect_timeout_ms = 1000, .timeout_ms = 300});
  EXPECT_THROW(transport->send({.method = "GET", .url = port.url() + "/x"}), shared::TransportError);
  // Nothing waits for ever unless asked to.
  EXPECT_GT(shared::net::HttpOptions{}.timeout_ms, 0);
}

TEST(RequestTimeout, StorageQueueAndModelRequestsTimeOutThenFail) {
  SilentPort port;
  ScopedSettings settings(silent_services(port));
  namespace blobhub = shared::connectors::blobhub;
  namespace queuehub = shared::connectors::queuehub;
  namespace aigate = shared::processors::aigate;
  blobhub::_reset_clients();
  queuehub::_reset_clients();
  aigate::_reset_clients();
  {
    RecordedSleeps sleeps;
    expect_timed_out([] { blobhub::check_blob_exists("folder/x.docx"); }, 2, sleeps);
  }
  {
    RecordedSleeps sleeps;
    expect_timed_out([] { queuehub::get_messages("silent-queue", 1, 30); }, 2, sleeps);
  }
  {
    RecordedSleeps sleeps;
    expect_timed_out([] { aigate::generate_summary("# 1 Purpose\nText.", aigate::SummaryEngine::azure_openai); }, 4,
                     sleeps);
  }
  blobhub::_reset_clients();
  queuehub::_reset_clients();
  aigate::_reset_clients();
}

}  // namespace
