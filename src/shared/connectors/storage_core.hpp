// What the blob and queue clients of one storage account share: the
// account's credentials and transport, Shared Key signing of a request, the
// mapping of a failure answer to a ServiceError without any secret in it,
// and the small XML and Base64 helpers their answers need. Private to
// src/shared/connectors.
#pragma once

#include <libxml/tree.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "shared/connectors/blob_client.hpp"
#include "shared/net/http.hpp"

namespace shared::connectors::detail {

struct ClientCore {
  StorageConnection connection;
  std::string endpoint;   // the service the requests go to (blob or queue), no trailing "/"
  std::string key_bytes;  // the decoded account key; "" when the SAS token is used
  // Set when the connection has neither key nor SAS: bearer tokens for STORAGE_SCOPE.
  std::shared_ptr<credential::TokenCredential> credential;
  bool queue_service = false;  // for the role an authorisation failure names
  std::shared_ptr<net::Transport> transport;
  std::function<std::chrono::system_clock::time_point()> clock;
  int max_results = 0;
};

// A core for `endpoint` of the account; throws ValueError for a key that is
// not Base64, or, for a connection signed in with tokens, an endpoint that
// is not https:// (http:// only on a loopback address) or no credential. Without a transport in `options` the core gets a libcurl
// transport of its own with `options.http`'s timeouts.
std::shared_ptr<const ClientCore> make_core(StorageConnection connection, std::string endpoint,
                                            BlobClientOptions options);

// Sends one request to the core's endpoint: date, version and authorisation
// added. Throws what the credential throws when no token can be had.
net::Response send(const ClientCore& core, std::string method, const std::string& path_and_query,
                   net::Headers headers, std::string body = {});

// "{what} failed: {status} {code}: {message}", the secrets of the account
// removed; a 401 or 403 to a bearer token names the role the identity needs.
[[noreturn]] void throw_service_error(const ClientCore& core, const std::string& what, const net::Response& r);

// Strict Base64; `ok` false (and "" returned) for anything else.
std::string base64_decode(std::string_view in, bool& ok);
std::string base64_encode(std::string_view in);

struct XmlDocFree {
  void operator()(xmlDoc* d) const noexcept { xmlFreeDoc(d); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

// The parsed answer, or null when it is not XML (no network access, no error output).
XmlDoc parse_xml(const std::string& body);
bool named(const xmlNode* n, const char* name);
// The first element child called `name`, or null.
const xmlNode* child(const xmlNode* parent, const char* name);
// The node's text content; "" for null.
std::string text_of(const xmlNode* n);

}  // namespace shared::connectors::detail
