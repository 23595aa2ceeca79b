#include "shared/host/document_lock.hpp"

#include <vector>

#include "shared/config.hpp"
#include "shared/host/session.hpp"
#include "shared/processors/artifact_names.hpp"

namespace shared::host::document_lock {

DocumentLock::DocumentLock() : AdvisoryLock(session::get()) {}

bool DocumentLock::take(const std::string& qd, const std::string& blob_filename) {
  const auto& s = config::get();
  std::vector<std::string> names = {"kesto.document:" + s.PGTABLE + ":" + qd};
  if (!blob_filename.empty()) {
    names.push_back("kesto.artifacts:" + s.STORAGE_CONTAINER_NAME + ":" + processors::artifact_names::file_stem(blob_filename));
  }
  return try_lock(names);
}

}  // namespace shared::host::document_lock
