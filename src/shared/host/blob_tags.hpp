// shared.host.blob_tags: bringing a store written before blob index tags
// up to date. Every artefact folder is listed once; each blob gets the
// name tags of the numbers its name carries, and, when a document owns it
// by the rules a deletion judges blobs by, that document's tag; what
// cannot be attributed is reported, and nothing is deleted. When everything was listed and tagged, the store's marker says
// so, and deletions stop warning that untagged blobs may remain.
#pragma once

#include <string>
#include <vector>

#include "shared/record.hpp"

namespace shared::host::blob_tags {

// A blob the backfill left untagged, and why.
struct Unattributed {
  std::string blob_path, reason;
};

struct BackfillReport {
  long listed = 0;          // blobs in the artefact folders
  long already_tagged = 0;  // carried every tag they should
  long tagged = 0;          // given their document's tag or name tags (or, in a dry run, would be)
  std::vector<Unattributed> unattributed;
  std::vector<std::string> errors;  // listings, reads or tag writes that failed
  bool marker_written = false;
  bool complete() const { return errors.empty(); }
};

// A blob's owner by the deletion's rules: the document whose recorded file
// (its metadata row's, or a source its own audit trail ingested) gives the
// blob's path (`recorded`: every such document), else the one QD-number its
// name carries when that document has a metadata row (`named`,
// `named_live`). `trail_owner` ("" for none) is the document whose live
// artefact the trail says it is: another document's claim keeps a blob
// from being removed, so such a blob is not attributed. The owner's
// number, or "" with `reason` set.
std::string owner_of(const std::vector<std::string>& recorded, const std::string& trail_owner,
                     const std::vector<std::string>& named, bool named_live, std::string& reason);

// Tags every attributable blob of the five artefact folders of the output
// container (a dry run changes nothing and writes no marker). Throws
// ValueError when blob index tags are off, and when the metadata database
// cannot be read (nothing is tagged then).
BackfillReport backfill(bool dry_run);

// {"listed", "already_tagged", "tagged", "unattributed" ({"blob_path",
// "reason"} each), "errors", "marker_written", "complete"}.
Record to_record(const BackfillReport& r);

}  // namespace shared::host::blob_tags
