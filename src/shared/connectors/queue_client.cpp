#include "shared/connectors/queue_client.hpp"

#include <utility>

#include "shared/connectors/storage_core.hpp"
#include "shared/errors.hpp"
#include "shared/text/percent.hpp"

namespace shared::connectors {

namespace {

using detail::ClientCore;

bool ok(const net::Response& r) { return r.status >= 200 && r.status < 300; }

std::string message_xml(std::string_view text) {
  // Base64 needs no XML escaping.
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><QueueMessage><MessageText>" + detail::base64_encode(text) +
         "</MessageText></QueueMessage>";
}

long to_long(const std::string& s) {
  try {
    return s.empty() ? 0 : std::stol(s);
  } catch (const std::exception&) {
    return 0;
  }
}

std::vector<QueueMessage> read_messages(const ClientCore& core, const std::string& what, const net::Response& r) {
  detail::XmlDoc doc = detail::parse_xml(r.body);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!detail::named(root, "QueueMessagesList")) {
    (void)core;
    throw ServiceError(what + " failed: the service answered with an unreadable message list", r.status, "");
  }
  std::vector<QueueMessage> out;
  for (const xmlNode* m = root->children; m; m = m->next) {
    if (!detail::named(m, "QueueMessage")) continue;
    QueueMessage msg;
    msg.id = detail::text_of(detail::child(m, "MessageId"));
    msg.pop_receipt = detail::text_of(detail::child(m, "PopReceipt"));
    msg.insertion_time = detail::text_of(detail::child(m, "InsertionTime"));
    msg.expiration_time = detail::text_of(detail::child(m, "ExpirationTime"));
    msg.time_next_visible = detail::text_of(detail::child(m, "TimeNextVisible"));
    msg.dequeue_count = to_long(detail::text_of(detail::child(m, "DequeueCount")));
    const std::string raw = detail::text_of(detail::child(m, "MessageText"));
    bool decoded = false;
    std::string text = raw.empty() ? std::string() : detail::base64_decode(raw, decoded);
    // Messages written by clients that do not encode are kept as they came.
    msg.text = decoded ? std::move(text) : raw;
    out.push_back(std::move(msg));
  }
  return out;
}

}  // namespace

bool is_valid_queue_name(std::string_view name) {
  if (name.size() < 3 || name.size() > 63) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) continue;
    if (c != '-' || i == 0 || i + 1 == name.size() || name[i - 1] == '-') return false;
  }
  return true;
}

QueueServiceClient::QueueServiceClient(StorageConnection connection, Options options) {
  if (connection.queue_endpoint.empty()) {
    throw ValueError("Connection string names no queue endpoint: give QueueEndpoint or AccountName");
  }
  std::string endpoint = connection.queue_endpoint;
  options.max_results = 0;
  core_ = detail::make_core(std::move(connection), std::move(endpoint), std::move(options));
}

QueueServiceClient QueueServiceClient::from_connection_string(std::string_view connection_string, Options options) {
  return QueueServiceClient(parse_connection_string(connection_string), std::move(options));
}

const std::string& QueueServiceClient::url() const { return core_->endpoint; }

QueueClient QueueServiceClient::get_queue_client(const std::string& queue) const {
  if (!is_valid_queue_name(queue)) {
    throw ValueError("Invalid queue name '" + queue +
                     "': 3 to 63 characters of lower-case letters, digits and single dashes, "
                     "starting and ending with a letter or digit");
  }
  return QueueClient(core_, queue);
}

QueueClient::QueueClient(std::shared_ptr<const detail::ClientCore> core, std::string queue)
    : core_(std::move(core)), queue_(std::move(queue)) {}

bool QueueClient::create() const {
  const net::Response r = detail::send(*core_, "PUT", "/" + queue_, {});
  // 204: the queue exists with the same (empty) metadata.
  if (r.status == 204) return false;
  if (r.status == 409 && r.header("x-ms-error-code") == "QueueAlreadyExists") return false;
  if (!ok(r)) detail::throw_service_error(*core_, "create queue '" + queue_ + "'", r);
  return true;
}

void QueueClient::delete_queue() const {
  const net::Response r = detail::send(*core_, "DELETE", "/" + queue_, {});
  if (!ok(r)) detail::throw_service_error(*core_, "delete queue '" + queue_ + "'", r);
}

bool QueueClient::exists() const {
  const net::Response r = detail::send(*core_, "GET", "/" + queue_ + "?comp=metadata", {});
  if (r.status == 200) return true;
  if (r.status == 404) return false;
  detail::throw_service_error(*core_, "exists queue '" + queue_ + "'", r);
}

QueueMessage QueueClient::put_message(std::string_view text, long ttl_s, long visibility_s) const {
  if (text.size() > QUEUE_MESSAGE_MAX_TEXT) {
    throw ValueError("A queue message holds at most " + std::to_string(QUEUE_MESSAGE_MAX_TEXT) + " bytes of text, got " +
                     std::to_string(text.size()));
  }
  std::string query = "/" + queue_ + "/messages?visibilitytimeout=" + std::to_string(visibility_s);
  if (ttl_s != 0) query += "&messagettl=" + std::to_string(ttl_s);
  const std::string what = "put message on '" + queue_ + "'";
  const net::Response r =
      detail::send(*core_, "POST", query, {{"Content-Type", "application/xml"}}, message_xml(text));
  if (!ok(r)) detail::throw_service_error(*core_, what, r);
  std::vector<QueueMessage> made = read_messages(*core_, what, r);
  if (made.empty()) throw ServiceError(what + " failed: the service returned no message", r.status, "");
  made.front().text = std::string(text);
  return made.front();
}

std::vector<QueueMessage> QueueClient::get_messages(int count, long visibility_timeout_s) const {
  if (count < 1 || count > 32) throw ValueError("get_messages takes 1 to 32 messages at a time");
  const std::string what = "get messages from '" + queue_ + "'";
  const net::Response r = detail::send(*core_, "GET",
                                       "/" + queue_ + "/messages?numofmessages=" + std::to_string(count) +
                                           "&visibilitytimeout=" + std::to_string(visibility_timeout_s),
                                       {});
  if (r.status != 200) detail::throw_service_error(*core_, what, r);
  return read_messages(*core_, what, r);
}

std::vector<QueueMessage> QueueClient::peek_messages(int count) const {
  if (count < 1 || count > 32) throw ValueError("peek_messages takes 1 to 32 messages at a time");
  const std::string what = "peek messages of '" + queue_ + "'";
  const net::Response r = detail::send(
      *core_, "GET", "/" + queue_ + "/messages?peekonly=true&numofmessages=" + std::to_string(count), {});
  if (r.status != 200) detail::throw_service_error(*core_, what, r);
  return read_messages(*core_, what, r);
}

std::string QueueClient::update_message(const std::string& id, const std::string& pop_receipt,
                                        long visibility_timeout_s, const std::optional<std::string>& text) const {
  if (text && text->size() > QUEUE_MESSAGE_MAX_TEXT) {
    throw ValueError("A queue message holds at most " + std::to_string(QUEUE_MESSAGE_MAX_TEXT) + " bytes of text");
  }
  const std::string path = "/" + queue_ + "/messages/" + text::percent_encode(id, false) +
                           "?popreceipt=" + text::percent_encode(pop_receipt, false) +
                           "&visibilitytimeout=" + std::to_string(visibility_timeout_s);
  net::Headers headers;
  std::string body;
  if (text) {
    headers.emplace_back("Content-Type", "application/xml");
    body = message_xml(*text);
  }
  const net::Response r = detail::send(*core_, "PUT", path, std::move(headers), std::move(body));
  if (!ok(r)) detail::throw_service_error(*core_, "update message on '" + queue_ + "'", r);
  const std::string receipt = r.header("x-ms-popreceipt");
  if (receipt.empty()) {
    throw ServiceError("update message on '" + queue_ + "' failed: the service returned no pop receipt", r.status, "");
  }
  return receipt;
}

bool QueueClient::delete_message(const std::string& id, const std::string& pop_receipt) const {
  const net::Response r = detail::send(*core_, "DELETE",
                                       "/" + queue_ + "/messages/" + text::percent_encode(id, false) +
                                           "?popreceipt=" + text::percent_encode(pop_receipt, false),
                                       {});
  if (ok(r)) return true;
  const std::string code = r.header("x-ms-error-code");
  if ((r.status == 404 && code == "MessageNotFound") || (r.status == 400 && code == "PopReceiptMismatch")) {
    return false;
  }
  detail::throw_service_error(*core_, "delete message on '" + queue_ + "'", r);
}

long QueueClient::approximate_message_count() const {
  const net::Response r = detail::send(*core_, "GET", "/" + queue_ + "?comp=metadata", {});
  if (r.status != 200) detail::throw_service_error(*core_, "count messages of '" + queue_ + "'", r);
  return to_long(r.header("x-ms-approximate-messages-count"));
}

void QueueClient::clear() const {
  const net::Response r = detail::send(*core_, "DELETE", "/" + queue_ + "/messages", {});
  if (!ok(r)) detail::throw_service_error(*core_, "clear queue '" + queue_ + "'", r);
}

}  // namespace shared::connectors
