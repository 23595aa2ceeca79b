#include "shared/connectors/blob_client.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "shared/connectors/credential.hpp"
#include "shared/connectors/storage_core.hpp"
#include "shared/errors.hpp"
#include "shared/text/percent.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors {

namespace detail {

using text::ascii_lower;

std::string_view trim(std::string_view s) { return text::strip(s); }

// Strict Base64 decoding; failure signalled by `ok`.
std::string base64_decode(std::string_view in, bool& ok) {
  ok = false;
  if (in.empty() || in.size() % 4 != 0) return {};
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    const bool pad_ok = c == '=' && i + 2 >= in.size() && (i + 1 == in.size() || in[i + 1] == '=');
    if (!alnum && c != '+' && c != '/' && !pad_ok) return {};
  }
  std::string out(in.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  if (n < 0) return {};
  // EVP_DecodeBlock counts the bytes that stand for "=" padding as well.
  std::size_t len = static_cast<std::size_t>(n);
  if (in.back() == '=') --len;
  if (in.size() >= 2 && in[in.size() - 2] == '=') --len;
  out.resize(len);
  ok = true;
  return out;
}

std::string base64_encode(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string hmac_sha256(std::string_view key, std::string_view text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int mac_len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
            text.size(), mac, &mac_len)) {
    throw Error("Shared Key signing failed (HMAC-SHA256)");
  }
  return std::string(reinterpret_cast<const char*>(mac), mac_len);
}

// The path of an absolute URL exactly as written ("/" when it has none).
std::string url_path(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t host_start = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t path_start = url.find('/', host_start);
  const std::size_t query_start = url.find('?', host_start);
  if (path_start == std::string::npos || (query_start != std::string::npos && query_start < path_start)) return "/";
  return url.substr(path_start, query_start == std::string::npos ? std::string::npos : query_start - path_start);
}

std::string url_query(const std::string& url) {
  const std::size_t q = url.find('?');
  return q == std::string::npos ? std::string() : url.substr(q + 1);
}

void xml_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

XmlDoc parse_xml(const std::string& body) {
  xml_init_once();
  return XmlDoc(xmlReadMemory(body.data(), static_cast<int>(body.size()), "response.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE));
}

bool named(const xmlNode* n, const char* name) {
  return n && n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

const xmlNode* child(const xmlNode* parent, const char* name) {
  if (!parent) return nullptr;
  for (const xmlNode* c = parent->children; c; c = c->next) {
    if (named(c, name)) return c;
  }
  return nullptr;
}

std::string text_of(const xmlNode* n) {
  if (!n) return {};
  xmlChar* t = xmlNodeGetContent(n);
  if (!t) return {};
  std::string out(reinterpret_cast<const char*>(t));
  xmlFree(t);
  return out;
}

std::string attribute(const xmlNode* n, const char* name) {
  if (!n) return {};
  xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
  if (!v) return {};
  std::string out(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return out;
}

// The pairs of a <Tags><TagSet><Tag><Key/><Value/></Tag>... element (or of
// its TagSet given directly); none for null.
BlobTags tag_set(const xmlNode* tags) {
  BlobTags out;
  const xmlNode* set = named(tags, "TagSet") ? tags : child(tags, "TagSet");
  for (const xmlNode* t = child(set, "Tag"); t; t = t->next) {
    if (named(t, "Tag")) out.emplace_back(text_of(child(t, "Key")), text_of(child(t, "Value")));
  }
  return out;
}

std::string xml_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

long long to_length(const std::string& s) {
  try {
    return s.empty() ? 0 : std::stoll(s);
  } catch (const std::exception&) {
    return 0;
  }
}

std::string reason_phrase(long status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "HTTP error";
  }
}

// Removes every copy of a secret (key, token, signature) from service text.
std::string redact(std::string text, const StorageConnection& c) {
  std::vector<std::string> secrets;
  if (!c.account_key.empty()) secrets.push_back(c.account_key);
  if (!c.sas_token.empty()) {
    secrets.push_back(c.sas_token);
    std::size_t start = 0;
    while (start <= c.sas_token.size()) {
      std::size_t end = c.sas_token.find('&', start);
      if (end == std::string::npos) end = c.sas_token.size();
      const std::string_view pair(c.sas_token.data() + start, end - start);
      if (pair.substr(0, 4) == "sig=" && pair.size() > 4) {
        secrets.emplace_back(pair.substr(4));
        secrets.push_back(text::percent_decode(pair.substr(4)));
      }
      start = end + 1;
    }
  }
  for (const std::string& s : secrets) text = text::redact(std::move(text), s);
  return text;
}

// "{what} failed: {status} {code}: {message}" with the service's own code and
// the first line of its message (the rest holds request ids and times).
[[noreturn]] void throw_service_error(const ClientCore& core, const std::string& what, const net::Response& r) {
  std::string code = r.header("x-ms-error-code");
  std::string message, auth_detail;
  if (!r.body.empty()) {
    if (XmlDoc doc = parse_xml(r.body)) {
      const xmlNode* root = xmlDocGetRootElement(doc.get());
      if (named(root, "Error")) {
        if (code.empty()) code = std::string(trim(text_of(child(root, "Code"))));
        message = text_of(child(root, "Message"));
        auth_detail = std::string(trim(text_of(child(root, "AuthenticationErrorDetail"))));
      }
    }
  }
  const std::size_t eol = message.find_first_of("\r\n");
  if (eol != std::string::npos) message.resize(eol);
  message = std::string(trim(message));
  if (message.empty()) message = reason_phrase(r.status);
  std::string text = what + " failed: " + std::to_string(r.status) + (code.empty() ? "" : " " + code) + ": " + message;
  if (core.credential && (r.status == 401 || r.status == 403)) {
    // The service says why it refused a token ("Invalid token audience.").
    auth_detail = auth_detail.substr(0, std::min(auth_detail.find_first_of("\r\n"), std::size_t{200}));
    if (!auth_detail.empty()) text += " (" + auth_detail + ")";
    text += std::string(" - signed in with Microsoft Entra ID: the identity needs the role ") +
            (core.queue_service ? "Storage Queue Data Message Processor (Storage Queue Data Contributor to create "
                                  "queues and add messages)"
                                : "Storage Blob Data Contributor") +
            " on the account, and tokens for https://storage.azure.com";
  }
  throw ServiceError(redact(std::move(text), core.connection), r.status, code);
}

std::string blob_path_part(const std::string& container, const std::string& blob) {
  return "/" + text::percent_encode(container, false) + "/" + text::percent_encode(blob, true);
}

net::Response send(const ClientCore& core, std::string method, const std::string& path_and_query,
                   net::Headers headers, std::string body) {
  net::Request req;
  req.method = std::move(method);
  req.url = core.endpoint + path_and_query;
  const bool use_sas = core.key_bytes.empty();
  if (use_sas && !core.connection.sas_token.empty()) {
    req.url += (path_and_query.find('?') == std::string::npos ? "?" : "&") + core.connection.sas_token;
  }
  const auto now = core.clock ? core.clock() : std::chrono::system_clock::now();
  headers.emplace_back("x-ms-date", rfc1123_date(now));
  headers.emplace_back("x-ms-version", BLOB_API_VERSION);
  req.headers = std::move(headers);
  req.body = std::move(body);
  if (core.credential) {
    req.headers.emplace_back("Authorization", "Bearer " + core.credential->get_token(credential::STORAGE_SCOPE).token);
  } else if (!use_sas) {
    const std::string signature = base64_encode(hmac_sha256(core.key_bytes, string_to_sign(req, core.connection.account_name)));
    req.headers.emplace_back("Authorization", "SharedKey " + core.connection.account_name + ":" + signature);
  }
  return core.transport->send(req);
}

bool ok(const net::Response& r) { return r.status >= 200 && r.status < 300; }

std::string quoted(const std::string& container, const std::string& blob) { return "'" + container + "/" + blob + "'"; }

std::shared_ptr<const ClientCore> make_core(StorageConnection connection, std::string endpoint,
                                            BlobClientOptions options) {
  auto core = std::make_shared<ClientCore>();
  if (!connection.account_key.empty()) {
    bool decoded = false;
    core->key_bytes = base64_decode(connection.account_key, decoded);
    if (!decoded) throw ValueError("Connection string: AccountKey is not valid Base64");
  }
  if (connection.uses_token()) {
    credential::require_secure_url(endpoint, "A storage endpoint signed in with Microsoft Entra ID");
    core->credential = options.credential ? std::move(options.credential) : credential::process_credential();
  }
  core->queue_service = !connection.queue_endpoint.empty() && endpoint == connection.queue_endpoint &&
                        endpoint != connection.blob_endpoint;
  core->connection = std::move(connection);
  core->endpoint = std::move(endpoint);
  core->transport = options.transport ? std::move(options.transport) : net::make_curl_transport(options.http);
  core->clock = std::move(options.clock);
  core->max_results = options.max_results;
  return core;
}

}  // namespace detail

// The blob and queue clients share these helpers of the account.
using namespace detail;

StorageConnection parse_connection_string(std::string_view text) {
  text = trim(text);
  if (ascii_lower(text.substr(0, 8)) == "https://" || ascii_lower(text.substr(0, 7)) == "http://") {
    // The blob service's URL; the queue service's follows the public cloud's naming.
    StorageConnection c;
    const std::size_t q = text.find('?');
    c.blob_endpoint = std::string(text.substr(0, q));
    if (q != std::string_view::npos) c.sas_token = std::string(text.substr(q + 1));
    while (!c.blob_endpoint.empty() && c.blob_endpoint.back() == '/') c.blob_endpoint.pop_back();
    const std::size_t host = c.blob_endpoint.find("://") + 3;
    const std::size_t dot = c.blob_endpoint.find(".blob.", host);
    const std::size_t end = c.blob_endpoint.find('/', host);
    if (dot != std::string::npos && (end == std::string::npos || dot < end)) {
      c.account_name = c.blob_endpoint.substr(host, dot - host);
      c.queue_endpoint = c.blob_endpoint.substr(0, dot) + ".queue." + c.blob_endpoint.substr(dot + 6);
    }
    return c;
  }
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view pair = trim(text.substr(start, end - start));
    start = end + 1;
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      throw ValueError("Connection string is malformed: every part must be NAME=VALUE, separated by ';'");
    }
    values[ascii_lower(trim(pair.substr(0, eq)))] = std::string(trim(pair.substr(eq + 1)));
  }
  auto get = [&values](const char* name) {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  };

  StorageConnection c;
  if (ascii_lower(get("usedevelopmentstorage")) == "true") {
    c.account_name = DEVELOPMENT_ACCOUNT_NAME;
    c.account_key = DEVELOPMENT_ACCOUNT_KEY;
    c.blob_endpoint = std::string("http://127.0.0.1:10000/") + DEVELOPMENT_ACCOUNT_NAME;
    c.queue_endpoint = std::string("http://127.0.0.1:10001/") + DEVELOPMENT_ACCOUNT_NAME;
    return c;
  }

  c.account_name = get("accountname");
  c.account_key = get("accountkey");
  c.sas_token = get("sharedaccesssignature");
  if (!c.sas_token.empty() && c.sas_token.front() == '?') c.sas_token.erase(0, 1);
  // "{protocol}://{account}.{service}.{suffix}", the public cloud's form.
  auto derived = [&](const char* service) {
    std::string protocol = ascii_lower(get("defaultendpointsprotocol"));
    if (protocol.empty()) protocol = "https";
    std::string suffix = get("endpointsuffix");
    if (suffix.empty()) suffix = "core.windows.net";
    return protocol + "://" + c.account_name + "." + service + "." + suffix;
  };
  c.blob_endpoint = get("blobendpoint");
  while (!c.blob_endpoint.empty() && c.blob_endpoint.back() == '/') c.blob_endpoint.pop_back();
  if (c.blob_endpoint.empty()) {
    if (c.account_name.empty()) {
      throw ValueError("Connection string names neither AccountName nor BlobEndpoint");
    }
    c.blob_endpoint = derived("blob");
  }
  if (c.blob_endpoint.rfind("http://", 0) != 0 && c.blob_endpoint.rfind("https://", 0) != 0) {
    throw ValueError("Connection string: the blob endpoint must be an http:// or https:// URL");
  }
  // The queue service of the same account, named or derived as the blob
  // endpoint is; "" when neither can be told.
  c.queue_endpoint = get("queueendpoint");
  while (!c.queue_endpoint.empty() && c.queue_endpoint.back() == '/') c.queue_endpoint.pop_back();
  if (c.queue_endpoint.empty() && !c.account_name.empty()) {
    c.queue_endpoint = derived("queue");
  }
  if (!c.queue_endpoint.empty() && c.queue_endpoint.rfind("http://", 0) != 0 &&
      c.queue_endpoint.rfind("https://", 0) != 0) {
    throw ValueError("Connection string: the queue endpoint must be an http:// or https:// URL");
  }
  if (!c.account_key.empty()) {
    if (c.account_name.empty()) throw ValueError("Connection string has an AccountKey but no AccountName");
    bool decoded = false;
    (void)base64_decode(c.account_key, decoded);
    if (!decoded) throw ValueError("Connection string: AccountKey is not valid Base64");
  }
  return c;
}

std::string tags_header(const BlobTags& tags) {
  std::string out;
  for (const auto& [k, v] : tags) {
    out += (out.empty() ? "" : "&") + text::percent_encode(k, false) + "=" + text::percent_encode(v, false);
  }
  return out;
}

std::string rfc1123_date(std::chrono::system_clock::time_point t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string string_to_sign(const net::Request& request, std::string_view account_name) {
  const net::Headers& h = request.headers;
  std::string out = request.method + "\n";
  out += net::header_value(h, "Content-Encoding") + "\n";
  out += net::header_value(h, "Content-Language") + "\n";
  // An empty body is signed as "", not "0".
  out += (request.body.empty() ? std::string() : std::to_string(request.body.size())) + "\n";
  out += net::header_value(h, "Content-MD5") + "\n";
  out += net::header_value(h, "Content-Type") + "\n";
  out += net::header_value(h, "Date") + "\n";
  out += net::header_value(h, "If-Modified-Since") + "\n";
  out += net::header_value(h, "If-Match") + "\n";
  out += net::header_value(h, "If-None-Match") + "\n";
  out += net::header_value(h, "If-Unmodified-Since") + "\n";
  out += net::header_value(h, "Range") + "\n";

  std::map<std::string, std::string> ms;
  for (const auto& [name, value] : h) {
    const std::string lname = ascii_lower(name);
    if (lname.rfind("x-ms-", 0) != 0) continue;
    auto [it, inserted] = ms.emplace(lname, std::string(trim(value)));
    if (!inserted) it->second += "," + std::string(trim(value));
  }
  for (const auto& [name, value] : ms) out += name + ":" + value + "\n";

  out += "/" + std::string(account_name) + url_path(request.url);
  std::map<std::string, std::vector<std::string>> params;
  const std::string query = url_query(request.url);
  std::size_t start = 0;
  while (!query.empty() && start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string_view pair(query.data() + start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    const std::string name = ascii_lower(text::percent_decode(pair.substr(0, eq)));
    const std::string value = eq == std::string_view::npos ? std::string() : text::percent_decode(pair.substr(eq + 1));
    params[name].push_back(value);
  }
  for (auto& [name, values] : params) {
    std::sort(values.begin(), values.end());
    out += "\n" + name + ":";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + values[i];
  }
  return out;
}

std::string shared_key_signature(std::string_view account_key, std::string_view text) {
  bool decoded = false;
  const std::string key = base64_decode(account_key, decoded);
  if (!decoded) throw ValueError("The account key is not valid Base64");
  return base64_encode(hmac_sha256(key, text));
}

BlobServiceClient::BlobServiceClient(StorageConnection connection, Options options) {
  std::string endpoint = connection.blob_endpoint;
  core_ = make_core(std::move(connection), std::move(endpoint), std::move(options));
}

BlobServiceClient BlobServiceClient::from_connection_string(std::string_view connection_string, Options options) {
  return BlobServiceClient(parse_connection_string(connection_string), std::move(options));
}

const std::string& BlobServiceClient::account_name() const { return core_->connection.account_name; }
const std::string& BlobServiceClient::url() const { return core_->connection.blob_endpoint; }

BlobClient BlobServiceClient::get_blob_client(const std::string& container, const std::string& blob) const {
  if (container.empty() || blob.empty()) throw ValueError("Please specify a container name and blob name.");
  // The path is sent as it is (CURLOPT_PATH_AS_IS), but a server or proxy
  // on the way may still resolve dot segments, and some treat a backslash as
  // a slash: such a name could reach another folder.
  std::size_t from = 0;
  for (;;) {
    const std::size_t end = blob.find_first_of("/\\", from);
    const std::string_view seg = std::string_view(blob).substr(from, end == std::string::npos ? end : end - from);
    if (seg == "." || seg == "..") {
      throw ValueError("Invalid blob name '" + blob + "': a \"" + std::string(seg) + "\" path segment");
    }
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return BlobClient(core_, container, blob);
}

ContainerClient BlobServiceClient::get_container_client(const std::string& container) const {
  if (container.empty()) throw ValueError("Please specify a container name.");
  return ContainerClient(core_, container);
}

BlobClient::BlobClient(std::shared_ptr<const detail::ClientCore> core, std::string container, std::string blob)
    : core_(std::move(core)), container_(std::move(container)), blob_(std::move(blob)) {}

std::string BlobClient::url() const { return core_->connection.blob_endpoint + blob_path_part(container_, blob_); }

bool BlobClient::exists() const {
  const net::Response r = send(*core_, "HEAD", blob_path_part(container_, blob_), {});
  if (r.status == 200) return true;
  if (r.status == 404 && r.header("x-ms-error-code") == "BlobNotFound") return false;
  throw_service_error(*core_, "exists " + quoted(container_, blob_), r);
}

std::string BlobClient::download() const {
  net::Response r = send(*core_, "GET", blob_path_part(container_, blob_), {});
  if (r.status != 200) throw_service_error(*core_, "download " + quoted(container_, blob_), r);
  return std::move(r.body);
}

std::string BlobClient::upload(std::string_view data, const BlobUploadSettings& settings) const {
  net::Headers headers = {{"x-ms-blob-type", "BlockBlob"}};
  if (!settings.content_type.empty()) headers.emplace_back("x-ms-blob-content-type", settings.content_type);
  if (!settings.overwrite) headers.emplace_back("If-None-Match", "*");
  if (!settings.tags.empty()) headers.emplace_back("x-ms-tags", tags_header(settings.tags));
  const net::Response r = send(*core_, "PUT", blob_path_part(container_, blob_), std::move(headers), std::string(data));
  if (!ok(r)) throw_service_error(*core_, "upload " + quoted(container_, blob_), r);
  return r.header("ETag");
}

void BlobClient::delete_blob() const {
  const net::Response r = send(*core_, "DELETE", blob_path_part(container_, blob_), {});
  if (!ok(r)) throw_service_error(*core_, "delete " + quoted(container_, blob_), r);
}

BlobInfo BlobClient::get_properties() const {
  const net::Response r = send(*core_, "HEAD", blob_path_part(container_, blob_), {});
  if (r.status != 200) throw_service_error(*core_, "get properties of " + quoted(container_, blob_), r);
  BlobInfo info;
  info.name = blob_;
  info.etag = r.header("ETag");
  info.last_modified = r.header("Last-Modified");
  info.content_length = to_length(r.header("Content-Length"));
  info.content_type = r.header("Content-Type");
  return info;
}

BlobTags BlobClient::get_tags() const {
  const net::Response r = send(*core_, "GET", blob_path_part(container_, blob_) + "?comp=tags", {});
  if (r.status != 200) throw_service_error(*core_, "get tags of " + quoted(container_, blob_), r);
  XmlDoc doc = parse_xml(r.body);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!named(root, "Tags")) {
    throw ServiceError("get tags of " + quoted(container_, blob_) + " failed: the service answered with unreadable tags",
                       r.status, "");
  }
  return tag_set(root);
}

void BlobClient::set_tags(const BlobTags& tags) const {
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Tags><TagSet>";
  for (const auto& [k, v] : tags) body += "<Tag><Key>" + xml_escape(k) + "</Key><Value>" + xml_escape(v) + "</Value></Tag>";
  body += "</TagSet></Tags>";
  const net::Response r = send(*core_, "PUT", blob_path_part(container_, blob_) + "?comp=tags",
                               {{"Content-Type", "application/xml; charset=UTF-8"}}, std::move(body));
  if (!ok(r)) throw_service_error(*core_, "set tags of " + quoted(container_, blob_), r);
}

ContainerClient::ContainerClient(std::shared_ptr<const detail::ClientCore> core, std::string container)
    : core_(std::move(core)), container_(std::move(container)) {}

std::vector<BlobInfo> ContainerClient::list_blobs(std::string_view prefix) const { return list_pages(prefix, false); }

std::vector<BlobInfo> ContainerClient::list_blobs_with_tags(std::string_view prefix) const {
  return list_pages(prefix, true);
}

std::vector<BlobInfo> ContainerClient::list_pages(std::string_view prefix, bool with_tags) const {
  std::vector<BlobInfo> out;
  std::string marker;
  for (;;) {
    // Appended piece by piece: GCC 12 warns (-Wrestrict, a false positive)
    // on "literal" + std::string&& here.
    std::string query = "/";
    query += text::percent_encode(container_, false);
    query += "?restype=container&comp=list";
    if (!prefix.empty()) query += "&prefix=" + text::percent_encode(prefix, false);
    if (with_tags) query += "&include=tags";
    if (!marker.empty()) query += "&marker=" + text::percent_encode(marker, false);
    if (core_->max_results > 0) query += "&maxresults=" + std::to_string(core_->max_results);
    const net::Response r = send(*core_, "GET", query, {});
    const std::string what = "list '" + container_ + "' prefix '" + std::string(prefix) + "'";
    if (r.status != 200) throw_service_error(*core_, what, r);

    XmlDoc doc = parse_xml(r.body);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!named(root, "EnumerationResults")) {
      throw ServiceError(what + " failed: the service answered with an unreadable listing", r.status, "");
    }
    for (const xmlNode* b = child(child(root, "Blobs"), "Blob"); b; b = b->next) {
      if (!named(b, "Blob")) continue;
      const xmlNode* name = child(b, "Name");
      BlobInfo info;
      info.name = text_of(name);
      // Names holding characters XML cannot carry arrive percent-encoded.
      if (attribute(name, "Encoded") == "true") info.name = text::percent_decode(info.name);
      const xmlNode* props = child(b, "Properties");
      info.etag = text_of(child(props, "Etag"));
      info.last_modified = text_of(child(props, "Last-Modified"));
      info.content_length = to_length(text_of(child(props, "Content-Length")));
      info.content_type = text_of(child(props, "Content-Type"));
      if (with_tags) info.tags = tag_set(child(b, "Tags"));
      out.push_back(std::move(info));
    }
    std::string next = text_of(child(root, "NextMarker"));
    if (next.empty()) break;
    if (next == marker) {
      throw ServiceError(what + " failed: the service repeated the continuation marker", r.status, "");
    }
    marker = std::move(next);
  }
  return out;
}

std::vector<BlobInfo> ContainerClient::find_blobs_by_tags(std::string_view where) const {
  std::vector<BlobInfo> out;
  std::string marker;
  const std::string what = "find blobs by tags in '" + container_ + "'";
  for (;;) {
    std::string query = "/";
    query += text::percent_encode(container_, false);
    query += "?restype=container&comp=blobs&where=" + text::percent_encode(where, false);
    if (!marker.empty()) query += "&marker=" + text::percent_encode(marker, false);
    if (core_->max_results > 0) query += "&maxresults=" + std::to_string(core_->max_results);
    const net::Response r = send(*core_, "GET", query, {});
    if (r.status != 200) throw_service_error(*core_, what, r);
    XmlDoc doc = parse_xml(r.body);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!named(root, "EnumerationResults")) {
      throw ServiceError(what + " failed: the service answered with an unreadable result", r.status, "");
    }
    for (const xmlNode* b = child(child(root, "Blobs"), "Blob"); b; b = b->next) {
      if (!named(b, "Blob")) continue;
      // Another container's blob would be one the account-wide form found.
      const std::string in = text_of(child(b, "ContainerName"));
      if (!in.empty() && in != container_) continue;
      const xmlNode* name = child(b, "Name");
      BlobInfo info;
      info.name = text_of(name);
      if (attribute(name, "Encoded") == "true") info.name = text::percent_decode(info.name);
      info.tags = tag_set(child(b, "Tags"));
      out.push_back(std::move(info));
    }
    std::string next = text_of(child(root, "NextMarker"));
    if (next.empty()) break;
    if (next == marker) throw ServiceError(what + " failed: the service repeated the continuation marker", r.status, "");
    marker = std::move(next);
  }
  return out;
}

std::vector<std::string> ContainerClient::list_blob_names(std::string_view prefix) const {
  std::vector<std::string> names;
  for (BlobInfo& b : list_blobs(prefix)) names.push_back(std::move(b.name));
  return names;
}

bool ContainerClient::create() const {
  const net::Response r = send(*core_, "PUT", "/" + text::percent_encode(container_, false) + "?restype=container", {});
  if (r.status == 409 && r.header("x-ms-error-code") == "ContainerAlreadyExists") return false;
  if (!ok(r)) throw_service_error(*core_, "create container '" + container_ + "'", r);
  return true;
}

void ContainerClient::delete_container() const {
  const net::Response r =
      send(*core_, "DELETE", "/" + text::percent_encode(container_, false) + "?restype=container", {});
  if (!ok(r)) throw_service_error(*core_, "delete container '" + container_ + "'", r);
}

bool ContainerClient::exists() const {
  const net::Response r =
      send(*core_, "HEAD", "/" + text::percent_encode(container_, false) + "?restype=container", {});
  if (r.status == 200) return true;
  if (r.status == 404 && r.header("x-ms-error-code") == "ContainerNotFound") return false;
  throw_service_error(*core_, "exists container '" + container_ + "'", r);
}

}  // namespace shared::connectors
