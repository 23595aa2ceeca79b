// shared.connectors.blobhub: the pipeline's only way to blob storage. Two
// accounts (the pipeline's own output account and the read-only source
// account of the document registry), each with one process-wide service
// client created on first use; free functions that pick the account and the
// container from their arguments; the network operations retried 3 times
// (1.0 s first wait, 30.0 s cap).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/blob_client.hpp"

namespace shared::connectors::blobhub {

// Where an operation goes: a container (absent or "" means
// STORAGE_CONTAINER_NAME) and whether the source account is meant.
struct Where {
  std::optional<std::string> container;
  bool use_tolvan_storage = false;
};

// The blob index tag that names the document a blob of the output account
// belongs to ("kesto_qd=QD-000958"); the tags that say which QD-numbers its
// name carries ("kesto_name_000958=1", one per number, keyed by its
// digits: the storage emulator's tag queries take no "-" in a key); and
// the blob at the output container's root that says every artefact in it is tagged
// (written by `kesto tags backfill`, or when the pipeline creates the
// container).
inline constexpr const char* DOCUMENT_TAG = "kesto_qd";
inline constexpr const char* NAME_TAG_PREFIX = "kesto_name_";
inline constexpr const char* TAGS_MARKER = "kesto-blob-tags.json";

struct UploadOptions {
  std::optional<std::string> container;
  std::optional<std::string> content_type;  // absent or "": the service's default type
  bool overwrite = true;
  bool use_tolvan_storage = false;
  // The QD-number of the document the blob belongs to, tagged on the upload
  // itself; "" tags the one number the blob's name carries (none when it
  // carries none or several). Only the output account is tagged, and only
  // while blob index tags are on.
  std::string document;
};

struct BlobProperties {
  std::string etag;
  std::string last_modified;
  long long content_length = 0;
  std::string content_type;
};

// "{folder}/{filename}" with every leading and trailing "/" of both parts removed.
std::string build_blob_path(std::string_view folder, std::string_view filename);

// True if the blob exists; false only for a missing blob (a missing container
// or a refused authorisation is an error).
bool check_blob_exists(const std::string& blob_path, const Where& where = {});
// The whole content as bytes; the service's not-found error for a missing blob.
std::string download_blob(const std::string& blob_path, const Where& where = {});
// The content as strict UTF-8 text (a byte-order mark is kept); a
// shared::ValueError naming the first bad byte otherwise.
std::string download_blob_text(const std::string& blob_path, const Where& where = {});
// Uploads the whole payload in one request; returns `blob_path` as given.
std::string upload_blob(const std::string& blob_path, std::string_view data, const UploadOptions& options = {});
// Full names of the blobs under "{folder without outer slashes}/", in service order.
std::vector<std::string> list_blobs_in_folder(const std::string& folder, const Where& where = {});
// Deletes the blob; true, or the service's error (also for a missing blob).
bool delete_blob(const std::string& blob_path, const Where& where = {});
// What the service reports about the blob; the not-found error for a missing one.
BlobProperties get_blob_properties(const std::string& blob_path, const Where& where = {});

// Whether the output account's blobs carry index tags (KESTO_BLOB_TAGS).
bool tags_enabled();

// The tags an upload of `blob_path` for `document` carries (see
// UploadOptions::document) and the name tags of the numbers its path
// carries (at most nine); none when tags are off.
BlobTags document_tags(const std::string& blob_path, const std::string& document);
// The name tags of the numbers `blob_path` carries (at most nine).
BlobTags name_tags(const std::string& blob_path);

// Find Blobs by Tags, twice: the full names of the container's blobs
// tagged DOCUMENT_TAG = `qd_number` (canonical form) or named after it
// (NAME_TAG_PREFIX + its digits), each once, in name order, every page read.
// Retried like the other operations.
std::vector<std::string> find_document_blobs(const std::string& qd_number, const Where& where = {});

// A blob's index tags; and replacing them (Set Blob Tags).
BlobTags get_blob_tags(const std::string& blob_path, const Where& where = {});
void set_blob_tags(const std::string& blob_path, const BlobTags& tags, const Where& where = {});

// A folder's blobs with their index tags, as list_blobs_in_folder lists them.
std::vector<BlobInfo> list_blobs_with_tags(const std::string& folder, const Where& where = {});

// Whether TAGS_MARKER is in the container (once seen, not asked again by
// this process); and writing it with `content` (JSON text).
bool tags_marker_present(const Where& where = {});
void write_tags_marker(const std::string& content, const Where& where = {});

// The source account with TOLVAN_STORAGE_CONTAINER_NAME as default container.
std::string download_from_tolvan(const std::string& blob_path,
                                 const std::optional<std::string>& container = std::nullopt);
std::vector<std::string> list_tolvan_blobs(const std::string& folder,
                                           const std::optional<std::string>& container = std::nullopt);
bool check_tolvan_blob_exists(const std::string& blob_path,
                              const std::optional<std::string>& container = std::nullopt);

// Every successful upload to the output account made while a journal is
// open, from any thread of the process: what was written, as the service
// acknowledged it. The host opens one around a document's run to record its
// artefacts without reading them back.
struct UploadRecord {
  std::string container;
  std::string blob_path;
  long long size = 0;
  std::string sha256;  // of the bytes sent, lower-case hex
  std::string etag;    // as the service returned it
};

class UploadJournal {
 public:
  UploadJournal();
  ~UploadJournal();
  UploadJournal(const UploadJournal&) = delete;
  UploadJournal& operator=(const UploadJournal&) = delete;
  // In upload order; a blob written twice appears twice.
  std::vector<UploadRecord> records() const;

 private:
  friend void _journal_upload(const UploadRecord& r);
  mutable std::mutex mu_;
  std::vector<UploadRecord> records_;
};

// Creates the container if missing (on the source account when asked). A
// new output container made while tags are on gets TAGS_MARKER: every
// artefact it will hold is tagged.
void create_container(const std::string& container, bool use_tolvan_storage = false);

// Module-private accessors: the account clients, created on first call and
// kept for the process's life. A missing connection string is a
// shared::ValueError naming the environment variable; the slot stays empty.
std::shared_ptr<const BlobServiceClient> _get_output_blob_client();
std::shared_ptr<const BlobServiceClient> _get_tolvan_blob_client();
// The source client when `use_tolvan_storage` or `container` equals
// TOLVAN_STORAGE_CONTAINER_NAME; the output client otherwise.
std::shared_ptr<const BlobServiceClient> _get_blob_client(const std::optional<std::string>& container = std::nullopt,
                                                          bool use_tolvan_storage = false);

// Test seams: clients created from now on use these options (a recording
// transport, small listing pages); _reset_clients empties both slots.
void _set_client_options(BlobServiceClient::Options options);
void _reset_clients();
// Hands an acknowledged upload to the open journals.
void _journal_upload(const UploadRecord& r);

}  // namespace shared::connectors::blobhub
