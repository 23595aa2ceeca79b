#include "shared/connectors/blobhub.hpp"

#include <cstdio>
#include <mutex>
#include <set>

#include "shared/config.hpp"
#include "shared/digest.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/clock.hpp"
#include "shared/retry.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors::blobhub {

namespace {

logsetup::Logger& logger() { return logsetup::get_logger("shared.connectors.blobhub"); }

// One account's client. Creation happens under the lock, so the client is
// made once even when both pipeline paths ask at the same moment; a failed
// creation leaves the slot empty for the next call to try again.
struct Slot {
  std::mutex mu;
  std::shared_ptr<const BlobServiceClient> client;
};

Slot& _output_blob_client() {
  static Slot s;
  return s;
}

Slot& _tolvan_blob_client() {
  static Slot s;
  return s;
}

// The open upload journals. Process-wide because the two pipeline paths
// upload from their own threads; guarded by its mutex.
struct Journals {
  std::mutex mu;
  std::vector<UploadJournal*> open;
};

Journals& journals() {
  static Journals j;
  return j;
}

bool journals_open() {
  std::lock_guard lock(journals().mu);
  return !journals().open.empty();
}

std::mutex& options_mu() {
  static std::mutex m;
  return m;
}

BlobServiceClient::Options& client_options() {
  static BlobServiceClient::Options o;
  return o;
}

std::shared_ptr<const BlobServiceClient> client_in(Slot& slot, const std::string& connection_string,
                                                   const char* variable, const char* label) {
  std::lock_guard lock(slot.mu);
  if (slot.client) return slot.client;
  if (connection_string.empty()) {
    throw ValueError(std::string(variable) + " not set. Please set the " + variable + " environment variable.");
  }
  BlobServiceClient::Options options;
  {
    std::lock_guard olock(options_mu());
    options = client_options();
  }
  const config::Settings& s = config::get();
  options.http.connect_timeout_ms = s.CONNECT_TIMEOUT_S * 1000;
  options.http.timeout_ms = s.STORAGE_TIMEOUT_S * 1000;
  slot.client = std::make_shared<const BlobServiceClient>(
      BlobServiceClient::from_connection_string(connection_string, std::move(options)));
  logger().info(std::string(label) + " BlobServiceClient initialized (singleton).");
  if (std::string_view(label) == "Output" && !s.BLOB_TAGS) {
    logger().info("Blob index tags are off (KESTO_BLOB_TAGS=off): artefacts are written untagged, and a deletion "
                  "lists every artefact folder to find a document's blobs");
  }
  return slot.client;
}

std::string strip_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

// An absent or empty container becomes the output account's default, even
// for the source account: only the source shortcuts substitute its container.
std::string default_container(const std::optional<std::string>& container) {
  if (container && !container->empty()) return *container;
  return config::get().STORAGE_CONTAINER_NAME;
}

std::string shown(const std::string& container) { return container.empty() ? "None" : container; }

const retry::Options kBlobRetry{.max_attempts = 3, .initial_delay = 1.0, .max_delay = 30.0};

const auto _check_blob_exists = retry::retry(kBlobRetry, "check_blob_exists", [](const std::string& blob_path,
                                                                                 const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  const bool exists = client->get_blob_client(container, blob_path).exists();
  logger().debug("check_blob_exists('" + blob_path + "', container='" + shown(container) + "') -> " +
                 (exists ? "True" : "False"));
  return exists;
});

const auto _download_blob = retry::retry(kBlobRetry, "download_blob", [](const std::string& blob_path,
                                                                         const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  std::string data = client->get_blob_client(container, blob_path).download();
  logger().debug("download_blob('" + blob_path + "', container='" + shown(container) + "') -> " +
                 std::to_string(data.size()) + " bytes");
  return data;
});

const auto _download_blob_text = retry::retry(kBlobRetry, "download_blob_text", [](const std::string& blob_path,
                                                                                   const Where& where) {
  std::string data = download_blob(blob_path, where);
  const std::size_t bad = text::first_invalid(data);
  if (bad != std::string::npos) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned>(static_cast<unsigned char>(data[bad])));
    throw ValueError("Blob '" + blob_path + "' is not valid UTF-8 text: invalid byte " + byte + " at offset " +
                     std::to_string(bad));
  }
  return data;
});

const auto _upload_blob = retry::retry(kBlobRetry, "upload_blob", [](const std::string& blob_path,
                                                                     std::string_view data,
                                                                     const UploadOptions& options) {
  const std::string container = default_container(options.container);
  const auto client = _get_blob_client(container, options.use_tolvan_storage);
  BlobUploadSettings settings;
  settings.overwrite = options.overwrite;
  if (options.content_type) settings.content_type = *options.content_type;
  if (!options.use_tolvan_storage && container != config::get().TOLVAN_STORAGE_CONTAINER_NAME) {
    settings.tags = document_tags(blob_path, options.document);
  }
  const std::string etag = client->get_blob_client(container, blob_path).upload(data, settings);
  if (!options.use_tolvan_storage && journals_open()) {
    _journal_upload(UploadRecord{.container = container,
                                 .blob_path = blob_path,
                                 .size = static_cast<long long>(data.size()),
                                 .sha256 = digest::sha256_hex(data),
                                 .etag = etag});
  }
  logger().info("upload_blob('" + blob_path + "', container='" + shown(container) + "') -> " +
                std::to_string(data.size()) + " bytes");
  return blob_path;
});

const auto _list_blobs_in_folder = retry::retry(kBlobRetry, "list_blobs_in_folder", [](const std::string& folder,
                                                                                       const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  // The trailing "/" keeps folder "abc" from listing the blobs of "abcd".
  const std::string prefix = strip_slashes(folder) + "/";
  std::vector<std::string> names = client->get_container_client(container).list_blob_names(prefix);
  logger().debug("list_blobs_in_folder('" + folder + "') -> " + std::to_string(names.size()) + " blob(s)");
  return names;
});

const auto _delete_blob = retry::retry(kBlobRetry, "delete_blob", [](const std::string& blob_path,
                                                                     const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  client->get_blob_client(container, blob_path).delete_blob();
  logger().info("Deleted blob '" + blob_path + "' from container '" + shown(container) + "'");
  return true;
});

const auto _get_blob_properties = retry::retry(kBlobRetry, "get_blob_properties", [](const std::string& blob_path,
                                                                                     const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  const BlobInfo info = client->get_blob_client(container, blob_path).get_properties();
  logger().debug("get_blob_properties('" + blob_path + "', container='" + shown(container) + "') -> " +
                 std::to_string(info.content_length) + " bytes");
  return BlobProperties{info.etag, info.last_modified, info.content_length, info.content_type};
});

const auto _find_document_blobs = retry::retry(kBlobRetry, "find_document_blobs", [](const std::string& qd_number,
                                                                                   const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  // A QD-number holds only letters, digits and "-": nothing to escape.
  std::set<std::string> found;
  for (const std::string& expression : {"\"" + std::string(DOCUMENT_TAG) + "\"='" + qd_number + "'",
                                        "\"" + std::string(NAME_TAG_PREFIX) + qd_number.substr(3) + "\"='1'"}) {
    for (BlobInfo& b : client->get_container_client(container).find_blobs_by_tags(expression)) {
      found.insert(std::move(b.name));
    }
  }
  std::vector<std::string> names(found.begin(), found.end());
  logger().debug("find_document_blobs('" + qd_number + "', container='" + shown(container) + "') -> " +
                 std::to_string(names.size()) + " blob(s)");
  return names;
});

const auto _get_blob_tags = retry::retry(kBlobRetry, "get_blob_tags", [](const std::string& blob_path,
                                                                         const Where& where) {
  const std::string container = default_container(where.container);
  return _get_blob_client(container, where.use_tolvan_storage)->get_blob_client(container, blob_path).get_tags();
});

const auto _set_blob_tags = retry::retry(kBlobRetry, "set_blob_tags", [](const std::string& blob_path,
                                                                         const BlobTags& tags, const Where& where) {
  const std::string container = default_container(where.container);
  _get_blob_client(container, where.use_tolvan_storage)->get_blob_client(container, blob_path).set_tags(tags);
  logger().info("Tagged blob '" + blob_path + "' in container '" + shown(container) + "'");
  return true;
});

const auto _list_blobs_with_tags = retry::retry(kBlobRetry, "list_blobs_with_tags", [](const std::string& folder,
                                                                                       const Where& where) {
  const std::string container = default_container(where.container);
  const auto client = _get_blob_client(container, where.use_tolvan_storage);
  std::vector<BlobInfo> blobs = client->get_container_client(container).list_blobs_with_tags(strip_slashes(folder) + "/");
  logger().debug("list_blobs_with_tags('" + folder + "') -> " + std::to_string(blobs.size()) + " blob(s)");
  return blobs;
});

// Containers whose marker was seen; it is never taken away by the pipeline.
std::mutex& marker_mu() {
  static std::mutex m;
  return m;
}
std::set<std::string>& markers_seen() {
  static std::set<std::string> s;
  return s;
}

Where tolvan_where(const std::optional<std::string>& container) {
  Where w;
  w.container = (container && !container->empty()) ? *container : config::get().TOLVAN_STORAGE_CONTAINER_NAME;
  w.use_tolvan_storage = true;
  return w;
}

}  // namespace

std::shared_ptr<const BlobServiceClient> _get_output_blob_client() {
  return client_in(_output_blob_client(), config::get().STORAGE_CONNECTION_STRING,
                   "STORAGE_ACCOUNT_CONNECTION_STRING", "Output");
}

std::shared_ptr<const BlobServiceClient> _get_tolvan_blob_client() {
  return client_in(_tolvan_blob_client(), config::get().TOLVAN_STORAGE_CONNECTION_STRING,
                   "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING", "Tolvan");
}

std::shared_ptr<const BlobServiceClient> _get_blob_client(const std::optional<std::string>& container,
                                                          bool use_tolvan_storage) {
  if (use_tolvan_storage) return _get_tolvan_blob_client();
  if (container && !container->empty() && *container == config::get().TOLVAN_STORAGE_CONTAINER_NAME) {
    return _get_tolvan_blob_client();
  }
  return _get_output_blob_client();
}

void _set_client_options(BlobServiceClient::Options options) {
  std::lock_guard lock(options_mu());
  client_options() = std::move(options);
}

void _reset_clients() {
  for (Slot* s : {&_output_blob_client(), &_tolvan_blob_client()}) {
    std::lock_guard lock(s->mu);
    s->client.reset();
  }
}

std::string build_blob_path(std::string_view folder, std::string_view filename) {
  return strip_slashes(folder) + "/" + strip_slashes(filename);
}

bool check_blob_exists(const std::string& blob_path, const Where& where) { return _check_blob_exists(blob_path, where); }

std::string download_blob(const std::string& blob_path, const Where& where) { return _download_blob(blob_path, where); }

std::string download_blob_text(const std::string& blob_path, const Where& where) {
  return _download_blob_text(blob_path, where);
}

std::string upload_blob(const std::string& blob_path, std::string_view data, const UploadOptions& options) {
  return _upload_blob(blob_path, data, options);
}

std::vector<std::string> list_blobs_in_folder(const std::string& folder, const Where& where) {
  return _list_blobs_in_folder(folder, where);
}

bool delete_blob(const std::string& blob_path, const Where& where) { return _delete_blob(blob_path, where); }

BlobProperties get_blob_properties(const std::string& blob_path, const Where& where) {
  return _get_blob_properties(blob_path, where);
}

bool tags_enabled() { return config::get().BLOB_TAGS; }

BlobTags name_tags(const std::string& blob_path) {
  // The whole path, as a deletion reads a blob's name; a blob holds ten
  // tags at most.
  BlobTags out;
  for (const std::string& qd : text::qd_numbers_in(blob_path)) {
    if (out.size() == 9) break;
    out.emplace_back(NAME_TAG_PREFIX + qd.substr(3), "1");
  }
  return out;
}

BlobTags document_tags(const std::string& blob_path, const std::string& document) {
  if (!tags_enabled()) return {};
  BlobTags out;
  const std::vector<std::string> numbers = text::qd_numbers_in(blob_path);
  if (!document.empty()) {
    if (const auto qd = text::normalize_qd_number(document)) out.emplace_back(DOCUMENT_TAG, *qd);
  } else if (numbers.size() == 1) {
    out.emplace_back(DOCUMENT_TAG, numbers.front());
  }
  for (auto& tag : name_tags(blob_path)) out.push_back(std::move(tag));
  return out;
}

std::vector<std::string> find_document_blobs(const std::string& qd_number, const Where& where) {
  const auto qd = text::normalize_qd_number(qd_number);
  if (!qd) throw ValueError("find_document_blobs: '" + qd_number + "' is not a QD-number");
  return _find_document_blobs(*qd, where);
}

BlobTags get_blob_tags(const std::string& blob_path, const Where& where) { return _get_blob_tags(blob_path, where); }

void set_blob_tags(const std::string& blob_path, const BlobTags& tags, const Where& where) {
  _set_blob_tags(blob_path, tags, where);
}

std::vector<BlobInfo> list_blobs_with_tags(const std::string& folder, const Where& where) {
  return _list_blobs_with_tags(folder, where);
}

bool tags_marker_present(const Where& where) {
  const std::string container = default_container(where.container);
  {
    std::lock_guard lock(marker_mu());
    if (markers_seen().count(container)) return true;
  }
  if (!check_blob_exists(TAGS_MARKER, where)) return false;
  std::lock_guard lock(marker_mu());
  markers_seen().insert(container);
  return true;
}

void write_tags_marker(const std::string& content, const Where& where) {
  UploadOptions options{.container = where.container, .content_type = "application/json",
                        .use_tolvan_storage = where.use_tolvan_storage};
  upload_blob(TAGS_MARKER, content, options);
}

std::string download_from_tolvan(const std::string& blob_path, const std::optional<std::string>& container) {
  return download_blob(blob_path, tolvan_where(container));
}

std::vector<std::string> list_tolvan_blobs(const std::string& folder, const std::optional<std::string>& container) {
  return list_blobs_in_folder(folder, tolvan_where(container));
}

bool check_tolvan_blob_exists(const std::string& blob_path, const std::optional<std::string>& container) {
  return check_blob_exists(blob_path, tolvan_where(container));
}

void create_container(const std::string& container, bool use_tolvan_storage) {
  const auto client = _get_blob_client(container, use_tolvan_storage);
  if (client->get_container_client(container).create()) {
    logger().info("Created container '" + container + "'");
    // Nothing in a new container was written before tags were on.
    if (!use_tolvan_storage && tags_enabled() && container != config::get().TOLVAN_STORAGE_CONTAINER_NAME) {
      write_tags_marker(R"({"tagged_since":")" + clock::utc_now_iso() + R"(","by":"container created"})",
                        Where{.container = container});
    }
  } else {
    logger().debug("Container '" + container + "' already exists");
  }
}

UploadJournal::UploadJournal() {
  std::lock_guard lock(journals().mu);
  journals().open.push_back(this);
}

UploadJournal::~UploadJournal() {
  std::lock_guard lock(journals().mu);
  std::erase(journals().open, this);
}

std::vector<UploadRecord> UploadJournal::records() const {
  std::lock_guard lock(mu_);
  return records_;
}

void _journal_upload(const UploadRecord& r) {
  std::lock_guard lock(journals().mu);
  for (UploadJournal* j : journals().open) {
    std::lock_guard jlock(j->mu_);
    j->records_.push_back(r);
  }
}

}  // namespace shared::connectors::blobhub
