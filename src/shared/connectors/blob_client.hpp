// shared.connectors.blob_client: a small client of the Azure Blob Storage REST
// API over the HTTP seam: connection strings, Shared Key, SAS and Microsoft
// Entra ID (bearer token) authorisation, and the blob and container
// operations the pipeline needs. Every failure answer of the service becomes
// a shared::ServiceError; no message ever carries the account key, the SAS
// token or an access token.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/net/http.hpp"

namespace shared::connectors {

namespace credential {
class TokenCredential;
}

// The REST API version sent with every request.
inline constexpr const char* BLOB_API_VERSION = "2021-12-02";

// The storage emulator's well-known development account.
inline constexpr const char* DEVELOPMENT_ACCOUNT_NAME = "devstoreaccount1";
inline constexpr const char* DEVELOPMENT_ACCOUNT_KEY =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

// What a connection string says about the blob and queue services of one account.
struct StorageConnection {
  std::string account_name;
  std::string account_key;      // Base64, as written; "" when none
  std::string sas_token;        // query text without the leading "?"; "" when none
  std::string blob_endpoint;    // scheme://host[:port][/path], no trailing "/"
  std::string queue_endpoint;   // the same for the queue service; "" when it cannot be told
  // Neither key nor SAS: requests carry a Microsoft Entra ID bearer token.
  bool uses_token() const { return account_key.empty() && sas_token.empty(); }
};

// Parses "Name=value;..." (names case-insensitive, each pair split at its
// first "="), including UseDevelopmentStorage=true, or the blob service's
// URL alone ("https://account.blob.core.windows.net", its query taken as a
// SAS). Without AccountKey and SharedAccessSignature requests are signed in
// with Microsoft Entra ID. Throws shared::ValueError with a message that
// never quotes the key or the token.
StorageConnection parse_connection_string(std::string_view text);

// What the service reports about one blob.
// A blob's index tags, in the service's order.
using BlobTags = std::vector<std::pair<std::string, std::string>>;

struct BlobInfo {
  std::string name;
  std::string etag;
  std::string last_modified;
  long long content_length = 0;
  std::string content_type;
  BlobTags tags;  // filled only by listings that ask for them
};

struct BlobUploadSettings {
  bool overwrite = true;
  std::string content_type;  // "" sends none: the service's default applies
  BlobTags tags;             // set by the upload itself (x-ms-tags); none when empty
};

// The x-ms-tags form of `tags`: "k1=v1&k2=v2", each part percent-encoded.
std::string tags_header(const BlobTags& tags);

// The Shared Key string to sign for `request` (headers as they will be sent).
std::string string_to_sign(const net::Request& request, std::string_view account_name);

// Base64(HMAC-SHA256(Base64Decode(key), text)). Throws shared::ValueError
// for a key that is not Base64.
std::string shared_key_signature(std::string_view account_key, std::string_view text);

// "Tue, 01 Aug 2023 10:00:00 GMT".
std::string rfc1123_date(std::chrono::system_clock::time_point t);

namespace detail {
struct ClientCore;
}

class BlobClient {
 public:
  const std::string& container_name() const { return container_; }
  const std::string& blob_name() const { return blob_; }
  // The blob's URL without any SAS token.
  std::string url() const;

  // True on 200; false on 404 BlobNotFound; a ServiceError otherwise
  // (a missing container and a refused authorisation included).
  bool exists() const;
  // The whole content.
  std::string download() const;
  // One Put Blob of the whole payload as a block blob; the new ETag.
  std::string upload(std::string_view data, const BlobUploadSettings& settings = {}) const;
  void delete_blob() const;
  BlobInfo get_properties() const;
  // Get Blob Tags / Set Blob Tags (which replaces every tag of the blob).
  BlobTags get_tags() const;
  void set_tags(const BlobTags& tags) const;

 private:
  friend class BlobServiceClient;
  BlobClient(std::shared_ptr<const detail::ClientCore> core, std::string container, std::string blob);
  std::shared_ptr<const detail::ClientCore> core_;
  std::string container_;
  std::string blob_;
};

class ContainerClient {
 public:
  const std::string& container_name() const { return container_; }

  // Every blob whose name starts with `prefix`, in service order, reading
  // every page of the listing.
  std::vector<BlobInfo> list_blobs(std::string_view prefix = {}) const;
  std::vector<std::string> list_blob_names(std::string_view prefix = {}) const;
  // The same listing with each blob's index tags (include=tags).
  std::vector<BlobInfo> list_blobs_with_tags(std::string_view prefix = {}) const;
  // Find Blobs by Tags in this container: the names (and matching tags) of
  // the blobs the tag expression `where` selects (e.g. "\"k\"='v'"),
  // reading every page of the answer.
  std::vector<BlobInfo> find_blobs_by_tags(std::string_view where) const;
  // Creates the container; false when it already existed.
  bool create() const;
  void delete_container() const;
  bool exists() const;

 private:
  friend class BlobServiceClient;
  ContainerClient(std::shared_ptr<const detail::ClientCore> core, std::string container);
  std::vector<BlobInfo> list_pages(std::string_view prefix, bool with_tags) const;
  std::shared_ptr<const detail::ClientCore> core_;
  std::string container_;
};

struct BlobClientOptions {
  std::shared_ptr<net::Transport> transport;  // null: a libcurl transport of its own
  std::function<std::chrono::system_clock::time_point()> clock;  // null: the system clock
  int max_results = 0;  // page size of listings; 0: the service's default
  net::HttpOptions http;  // timeouts of the libcurl transport made when `transport` is null
  // Signs in a connection without key or SAS; null: the process's credential.
  std::shared_ptr<credential::TokenCredential> credential;
};

// The service client of one storage account; cheap to copy, safe to use from
// several threads at once.
class BlobServiceClient {
 public:
  using Options = BlobClientOptions;

  explicit BlobServiceClient(StorageConnection connection, Options options = {});
  // Throws shared::ValueError for an unusable connection string.
  static BlobServiceClient from_connection_string(std::string_view connection_string, Options options = {});

  const std::string& account_name() const;
  // The blob endpoint, without any SAS token.
  const std::string& url() const;

  // Throws shared::ValueError when the container or blob name is empty or
  // the blob name has a "." or ".." segment (between slashes or backslashes).
  BlobClient get_blob_client(const std::string& container, const std::string& blob) const;
  ContainerClient get_container_client(const std::string& container) const;

 private:
  std::shared_ptr<const detail::ClientCore> core_;
};

}  // namespace shared::connectors
