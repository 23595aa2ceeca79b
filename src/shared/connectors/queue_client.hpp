// shared.connectors.queue_client: a small client of the Azure Queue Storage
// REST API, signed, sent and mapped to errors exactly as the blob client does
// (one account, one transport seam). Message texts travel Base64-encoded, as
// the official clients send them when asked to encode. Every failure answer
// becomes a shared::ServiceError carrying the status and the service's code;
// no message ever carries the account key or the SAS token.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/blob_client.hpp"

namespace shared::connectors {

namespace detail {
struct ClientCore;
}

// The largest message text the service takes once Base64-encoded (64 KiB),
// so at most 48 KiB of text.
inline constexpr std::size_t QUEUE_MESSAGE_MAX_TEXT = 48 * 1024;

// Whether the service takes `name` as a queue name: 3 to 63 characters of
// lower-case letters, digits and single hyphens, starting and ending with a
// letter or digit.
bool is_valid_queue_name(std::string_view name);

// One message as the service reports it.
struct QueueMessage {
  std::string id;
  std::string pop_receipt;       // "" for a peeked message
  std::string text;              // decoded; the raw text when it was not Base64
  long dequeue_count = 0;
  std::string insertion_time;
  std::string expiration_time;
  std::string time_next_visible;
};

class QueueClient {
 public:
  const std::string& queue_name() const { return queue_; }

  // Creates the queue; false when it already existed.
  bool create() const;
  void delete_queue() const;
  // False on 404 QueueNotFound.
  bool exists() const;

  // Adds a message. ttl_s: seconds it lives (-1: never expires, 0: the
  // service's default of 7 days); visibility_s: seconds before it can be
  // taken. Returns the message with its id and pop receipt. ValueError for a
  // text over QUEUE_MESSAGE_MAX_TEXT.
  QueueMessage put_message(std::string_view text, long ttl_s = -1, long visibility_s = 0) const;
  // Takes up to `count` (1 to 32) messages, each invisible to others for
  // `visibility_timeout_s` seconds; their dequeue counts go up by one.
  std::vector<QueueMessage> get_messages(int count, long visibility_timeout_s) const;
  // Up to `count` visible messages without taking them.
  std::vector<QueueMessage> peek_messages(int count) const;
  // Makes the message invisible for `visibility_timeout_s` more seconds from
  // now (0: visible at once), replacing its text when one is given. Returns
  // the new pop receipt: the old one is no longer valid.
  std::string update_message(const std::string& id, const std::string& pop_receipt, long visibility_timeout_s,
                             const std::optional<std::string>& text = std::nullopt) const;
  // Deletes the message; false when it is gone or the pop receipt is no
  // longer its own (another taker has it now).
  bool delete_message(const std::string& id, const std::string& pop_receipt) const;
  // The service's approximate number of messages (taken ones included).
  long approximate_message_count() const;
  // Deletes every message.
  void clear() const;

 private:
  friend class QueueServiceClient;
  QueueClient(std::shared_ptr<const detail::ClientCore> core, std::string queue);
  std::shared_ptr<const detail::ClientCore> core_;
  std::string queue_;
};

// The queue service of one storage account; cheap to copy, safe to use from
// several threads at once. The endpoint is the connection string's
// QueueEndpoint, or the one derived from the account name.
class QueueServiceClient {
 public:
  using Options = BlobClientOptions;

  explicit QueueServiceClient(StorageConnection connection, Options options = {});
  // Throws shared::ValueError for an unusable connection string or one
  // without a queue endpoint.
  static QueueServiceClient from_connection_string(std::string_view connection_string, Options options = {});

  const std::string& url() const;
  // Throws shared::ValueError for a name the service would refuse (3 to 63
  // characters of a-z, 0-9 and single inner dashes).
  QueueClient get_queue_client(const std::string& queue) const;

 private:
  std::shared_ptr<const detail::ClientCore> core_;
};

}  // namespace shared::connectors
