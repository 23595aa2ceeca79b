// shared.connectors.queuehub: the pipeline's work queues in its own storage
// account (STORAGE_ACCOUNT_CONNECTION_STRING), through one process-wide
// queue service client created on first use; every network operation
// retried like the blob operations (3 tries, 1.0 s first wait, 30.0 s cap).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/connectors/queue_client.hpp"

namespace shared::connectors::queuehub {

// Creates the queue when it is missing.
void create_queue(const std::string& queue);
// Adds a message that never expires; the message as created.
QueueMessage put_message(const std::string& queue, const std::string& text);
// Up to `count` messages, each hidden from other takers for `visibility_s`.
std::vector<QueueMessage> get_messages(const std::string& queue, int count, long visibility_s);
// The new pop receipt; the text replaced when one is given.
std::string update_message(const std::string& queue, const QueueMessage& message, long visibility_s,
                           const std::optional<std::string>& text = std::nullopt);
// False when the message was no longer ours to delete.
bool delete_message(const std::string& queue, const QueueMessage& message);
// The approximate number of messages; 0 for a queue that does not exist.
long approximate_message_count(const std::string& queue);
// Up to 32 visible messages, not taken.
std::vector<QueueMessage> peek_messages(const std::string& queue, int count = 32);

// The process-wide client; a missing connection string is a
// shared::ValueError naming the variable, and the slot stays empty.
std::shared_ptr<const QueueServiceClient> _get_queue_service_client();
// Test seams: clients created from now on use these options;
// _reset_clients empties the slot.
void _set_client_options(QueueServiceClient::Options options);
void _reset_clients();

}  // namespace shared::connectors::queuehub
