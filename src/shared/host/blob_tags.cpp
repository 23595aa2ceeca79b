#include "shared/host/blob_tags.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "shared/clock.hpp"
#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::blob_tags {

namespace blobhub = connectors::blobhub;
namespace mainstore = connectors::mainstore;
namespace pg = connectors::pg;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.host.blob_tags"); }

// Paths live owners are asked for in one statement.
constexpr std::size_t kOwnerBatch = 1000;

bool table_exists(PGconn* conn, const std::string& table) {
  pg::PgResult r = pg::execute(conn, "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  return pg::first_row(r.get()).value_or(Record::object()).value("present", false);
}

void add_claim(std::map<std::string, std::set<std::string>>& claims, const std::string& file, const std::string& qd) {
  for (const std::string& p : processors::deleter::artifact_paths(file)) claims[p].insert(qd);
}

std::string joined(const std::set<std::string>& s) {
  std::string out;
  for (const auto& x : s) out += (out.empty() ? "" : ", ") + x;
  return out;
}

}  // namespace

std::string owner_of(const std::vector<std::string>& recorded, const std::string& trail_owner,
                     const std::vector<std::string>& named, bool named_live, std::string& reason) {
  const std::set<std::string> who(recorded.begin(), recorded.end());
  std::string owner;
  if (who.size() > 1) {
    reason = "artefact of files recorded for several documents (" + joined(who) + ")";
    return {};
  }
  if (who.size() == 1) {
    owner = *who.begin();
  } else if (named.size() > 1) {
    reason = "named after several documents (" + joined(std::set<std::string>(named.begin(), named.end())) + ")";
    return {};
  } else if (named.size() == 1 && named_live) {
    owner = named.front();
  } else if (named.size() == 1) {
    reason = "named after " + named.front() + ", which has no metadata row";
    return {};
  } else if (!trail_owner.empty()) {
    reason = "the audit trail holds it as " + trail_owner + "'s, but it is neither named after " + trail_owner +
             " nor an artefact of a file recorded for it";
    return {};
  } else {
    reason = "names no document, and no document records it";
    return {};
  }
  if (!trail_owner.empty() && trail_owner != owner) {
    reason = "belongs to " + owner + ", but the audit trail holds it as " + trail_owner + "'s live artefact";
    return {};
  }
  return owner;
}

BackfillReport backfill(bool dry_run) {
  if (!blobhub::tags_enabled()) {
    throw ValueError("blob index tags are off (KESTO_BLOB_TAGS=off): there is nothing to backfill");
  }
  const auto& s = config::get();
  BackfillReport report;

  // Who claims which path, read once: every recorded file, the sources
  // every trail ingested, and the numbers that have a row.
  std::map<std::string, std::set<std::string>> claims;
  std::set<std::string> live;
  pg::PgConn conn;
  try {
    conn = mainstore::get_conn();
    pg::check_identifier(s.PGTABLE, "table name", true);
    pg::PgResult rows = pg::execute(conn.get(), "SELECT document_number, blob_filename FROM " + s.PGTABLE);
    for (const Record& row : pg::all_rows(rows.get())) {
      const auto qd = text::normalize_qd_number(record::get_text_or(row, "document_number", ""));
      if (!qd) continue;
      live.insert(*qd);
      add_claim(claims, record::get_text_or(row, "blob_filename", ""), *qd);
    }
    pg::check_identifier(s.AUDIT_TABLE, "audit table name", true);
    if (table_exists(conn.get(), s.AUDIT_TABLE)) {
      const std::string prefix = blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, "");
      pg::PgResult ingested = pg::execute(
          conn.get(), "SELECT DISTINCT document_number, blob_path FROM " + s.AUDIT_TABLE + " WHERE action = %s",
          {std::string(connectors::audit::INGESTED)});
      for (const Record& e : pg::all_rows(ingested.get())) {
        const auto qd = text::normalize_qd_number(record::get_text_or(e, "document_number", ""));
        const std::string path = record::get_text_or(e, "blob_path", "");
        if (!qd || path.size() <= prefix.size() || path.rfind(prefix, 0) != 0) continue;
        add_claim(claims, path.substr(prefix.size()), *qd);
      }
    }
  } catch (const std::exception& e) {
    throw ValueError("the metadata database could not be read, so no blob can be attributed: " +
                     text::one_line(e.what()));
  }

  for (const std::string& folder : processors::deleter::DeletionStage::_ALL_ARTIFACT_FOLDERS()) {
    std::vector<connectors::BlobInfo> blobs;
    try {
      blobs = blobhub::list_blobs_with_tags(folder);
    } catch (const std::exception& e) {
      report.errors.push_back("Failed to list blobs in '" + folder + "': " + text::one_line(e.what()));
      continue;
    }
    report.listed += static_cast<long>(blobs.size());
    // The trail's word on whose live artefact each blob is.
    std::map<std::string, std::string> owners;
    try {
      for (std::size_t i = 0; i < blobs.size(); i += kOwnerBatch) {
        std::vector<std::string> paths;
        for (std::size_t j = i; j < std::min(blobs.size(), i + kOwnerBatch); ++j) paths.push_back(blobs[j].name);
        for (auto& [path, owner] : connectors::audit::live_owners(conn.get(), s.AUDIT_TABLE, paths)) {
          owners[path] = owner;
        }
      }
    } catch (const std::exception& e) {
      report.errors.push_back("Failed to read the audit trail for '" + folder + "': " + text::one_line(e.what()));
      continue;
    }
    for (connectors::BlobInfo& b : blobs) {
      std::vector<std::string> recorded;
      if (auto it = claims.find(b.name); it != claims.end()) recorded.assign(it->second.begin(), it->second.end());
      std::string trail_owner;
      if (auto it = owners.find(b.name); it != owners.end()) {
        trail_owner = text::normalize_qd_number(it->second).value_or(it->second);
      }
      const std::vector<std::string> named = text::qd_numbers_in(b.name);
      std::string reason;
      const std::string owner =
          owner_of(recorded, trail_owner, named, named.size() == 1 && live.count(named.front()) > 0, reason);
      // Every number the name carries is tagged, whoever owns the blob:
      // a deletion of that number looks at it, as a listing would.
      connectors::BlobTags tags = b.tags;
      bool changed = false;
      auto tag_of = [&](const std::string& key) -> std::string {
        for (const auto& [k, v] : tags) {
          if (k == key) return v;
        }
        return "";
      };
      for (auto& [k, v] : blobhub::name_tags(b.name)) {
        if (tag_of(k).empty() && tags.size() < 10) {
          tags.emplace_back(k, v);
          changed = true;
        }
      }
      const std::string current = tag_of(blobhub::DOCUMENT_TAG);
      if (owner.empty()) {
        report.unattributed.push_back({b.name, reason});
      } else if (current.empty()) {
        tags.emplace_back(blobhub::DOCUMENT_TAG, owner);
        changed = true;
      } else if (current != owner) {
        report.unattributed.push_back(
            {b.name, "tagged " + current + " but belongs to " + owner + ": its tag is left as it is"});
      }
      if (!changed) {
        if (!owner.empty() && current == owner) ++report.already_tagged;
        continue;
      }
      ++report.tagged;
      if (dry_run) continue;
      try {
        blobhub::set_blob_tags(b.name, tags);
      } catch (const std::exception& e) {
        --report.tagged;
        report.errors.push_back("Failed to tag '" + b.name + "': " + text::one_line(e.what()));
      }
    }
  }
  for (const Unattributed& u : report.unattributed) log().warning("Not tagged '" + u.blob_path + "': " + u.reason);
  if (!dry_run && report.complete()) {
    try {
      blobhub::write_tags_marker(R"({"tagged_since":")" + clock::utc_now_iso() +
                                 R"(","by":"kesto tags backfill","tagged":)" + std::to_string(report.tagged) +
                                 R"(,"unattributed":)" + std::to_string(report.unattributed.size()) + "}");
      report.marker_written = true;
    } catch (const std::exception& e) {
      report.errors.push_back("Failed to write '" + std::string(blobhub::TAGS_MARKER) + "': " + text::one_line(e.what()));
    }
  }
  return report;
}

Record to_record(const BackfillReport& r) {
  Record unattributed = Record::array();
  for (const Unattributed& u : r.unattributed) unattributed.push_back(Record{{"blob_path", u.blob_path}, {"reason", u.reason}});
  Record out = Record::object();
  out["listed"] = r.listed;
  out["already_tagged"] = r.already_tagged;
  out["tagged"] = r.tagged;
  out["unattributed"] = unattributed;
  out["errors"] = r.errors;
  out["marker_written"] = r.marker_written;
  out["complete"] = r.complete();
  return out;
}

}  // namespace shared::host::blob_tags
