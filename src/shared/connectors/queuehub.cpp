#include "shared/connectors/queuehub.hpp"

#include <mutex>

#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/retry.hpp"

namespace shared::connectors::queuehub {

namespace {

logsetup::Logger& logger() { return logsetup::get_logger("shared.connectors.queuehub"); }

struct Slot {
  std::mutex mu;
  std::shared_ptr<const QueueServiceClient> client;
  QueueServiceClient::Options options;
};

Slot& slot() {
  static Slot s;
  return s;
}

const retry::Options kQueueRetry{.max_attempts = 3, .initial_delay = 1.0, .max_delay = 30.0};

QueueClient queue_client(const std::string& queue) { return _get_queue_service_client()->get_queue_client(queue); }

const auto _create_queue = retry::retry(kQueueRetry, "create_queue", [](const std::string& queue) {
  if (queue_client(queue).create()) logger().info("Created queue '" + queue + "'");
  return true;
});

const auto _put_message = retry::retry(kQueueRetry, "put_message", [](const std::string& queue,
                                                                       const std::string& text) {
  return queue_client(queue).put_message(text, -1, 0);
});

const auto _get_messages = retry::retry(kQueueRetry, "get_messages", [](const std::string& queue, int count,
                                                                        long visibility_s) {
  return queue_client(queue).get_messages(count, visibility_s);
});

// Not retried: a renewal that did reach the service has already replaced
// the pop receipt, so a second try could only fail; the caller tries again
// at its next renewal.
std::string update_once(const std::string& queue, const QueueMessage& m, long visibility_s,
                        const std::optional<std::string>& text) {
  return queue_client(queue).update_message(m.id, m.pop_receipt, visibility_s, text);
}

const auto _delete_message = retry::retry(kQueueRetry, "delete_message", [](const std::string& queue,
                                                                            const QueueMessage& m) {
  return queue_client(queue).delete_message(m.id, m.pop_receipt);
});

const auto _approximate_message_count = retry::retry(kQueueRetry, "approximate_message_count",
                                                     [](const std::string& queue) -> long {
  const QueueClient q = queue_client(queue);
  try {
    return q.approximate_message_count();
  } catch (const ServiceError& e) {
    if (e.status == 404) return 0;
    throw;
  }
});

const auto _peek_messages = retry::retry(kQueueRetry, "peek_messages", [](const std::string& queue, int count) {
  try {
    return queue_client(queue).peek_messages(count);
  } catch (const ServiceError& e) {
    if (e.status == 404) return std::vector<QueueMessage>{};
    throw;
  }
});

}  // namespace

std::shared_ptr<const QueueServiceClient> _get_queue_service_client() {
  Slot& s = slot();
  std::lock_guard lock(s.mu);
  if (s.client) return s.client;
  const std::string& cs = config::get().STORAGE_CONNECTION_STRING;
  if (cs.empty()) {
    throw ValueError(
        "STORAGE_ACCOUNT_CONNECTION_STRING not set. Please set the STORAGE_ACCOUNT_CONNECTION_STRING environment "
        "variable.");
  }
  QueueServiceClient::Options options = s.options;
  const config::Settings& settings = config::get();
  options.http.connect_timeout_ms = settings.CONNECT_TIMEOUT_S * 1000;
  options.http.timeout_ms = settings.STORAGE_TIMEOUT_S * 1000;
  s.client = std::make_shared<const QueueServiceClient>(QueueServiceClient::from_connection_string(cs, options));
  logger().info("QueueServiceClient initialized (singleton).");
  return s.client;
}

void _set_client_options(QueueServiceClient::Options options) {
  std::lock_guard lock(slot().mu);
  slot().options = std::move(options);
}

void _reset_clients() {
  std::lock_guard lock(slot().mu);
  slot().client.reset();
}

void create_queue(const std::string& queue) { _create_queue(queue); }

QueueMessage put_message(const std::string& queue, const std::string& text) { return _put_message(queue, text); }

std::vector<QueueMessage> get_messages(const std::string& queue, int count, long visibility_s) {
  return _get_messages(queue, count, visibility_s);
}

std::string update_message(const std::string& queue, const QueueMessage& message, long visibility_s,
                           const std::optional<std::string>& text) {
  return update_once(queue, message, visibility_s, text);
}

bool delete_message(const std::string& queue, const QueueMessage& message) { return _delete_message(queue, message); }

long approximate_message_count(const std::string& queue) { return _approximate_message_count(queue); }

std::vector<QueueMessage> peek_messages(const std::string& queue, int count) { return _peek_messages(queue, count); }

}  // namespace shared::connectors::queuehub
