// Blob index tags against the storage emulator and the test cluster: the
// tags uploads carry, deletions that find a document's blobs by them (and
// the decoys they must leave alone), the sweep, the backfill of a store
// written without tags, and the metadata table's indexed artefact keys.
#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/blob_tags.hpp"
#include "shared/host/deletion.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/processors/deleter.hpp"
#include "support/testing.hpp"

using namespace host_world;
using shared::Record;
namespace audit = shared::connectors::audit;
namespace deleter = shared::processors::deleter;
namespace mainstore = shared::connectors::mainstore;
namespace pg = shared::connectors::pg;
using shared::host::deletion::delete_document;
using shared::host::deletion::Deletion;

namespace {

std::string tag_of(const std::string& path) {
  for (const auto& [k, v] : blobhub::get_blob_tags(path)) {
    if (k == blobhub::DOCUMENT_TAG) return v;
  }
  return "";
}

bool exists(const std::string& path) { return blobhub::check_blob_exists(path); }

// The five artefacts of a file, written as the pipeline writes them (for
// `qd`, which tags them unless tags are off), with the file recorded in the
// document's row.
std::vector<std::string> put_document(World& w, const std::string& file, const std::string& qd) {
  const auto paths = w.artefacts(file);
  for (const auto& p : paths) blobhub::upload_blob(p, "content of " + p, {.document = qd});
  mainstore::upsert_document(w.meta.name(), qd, Record{{"document_number", qd}, {"blob_filename", file}});
  return paths;
}

// Settings with blob index tags off, for as long as the object lives.
struct TagsOff {
  explicit TagsOff(const World& w) : scoped([&] {
    auto s = w.settings;
    s.BLOB_TAGS = false;
    return s;
  }()) {}
  testing_support::ScopedSettings scoped;
};

std::vector<std::string> texts(const Record& r) {
  std::vector<std::string> out;
  for (const auto& x : r) out.push_back(x.is_string() ? x.get<std::string>() : x.at("blob_path").get<std::string>());
  return out;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

TEST(BlobTags, UploadsCarryTheirDocumentsTagAndAreFoundByIt) {
  if (!pg_testing::have_cluster()) return;
  World w;
  const std::string md = w.settings.BLOB_FOLDER_MARKDOWN;
  struct Case {
    std::string path, document, tag;
    bool tags_on;
  };
  const std::vector<Case> cases = {
      {md + "/Plain name.md", "qd-000958 ", "QD-000958", true},     // the document given wins, canonical
      {md + "/SOP QD-000123 A.md", "", "QD-000123", true},          // none given: the one its name carries
      {md + "/x qd-000123 again.md", "", "QD-000123", true},
      {md + "/QD-000123 vs QD-000124.md", "", "", true},            // two numbers: none
      {md + "/XQD-000123.md", "", "", true},                        // not a whole number
      {md + "/Loose notes.md", "", "", true},
      {md + "/SOP QD-000123 B.md", "QD-000123", "", false},         // tags off: untagged
  };
  for (const Case& c : cases) {
    std::optional<TagsOff> off;
    if (!c.tags_on) off.emplace(w);
    blobhub::upload_blob(c.path, "x", {.document = c.document});
    off.reset();
    EXPECT_EQ(tag_of(c.path), c.tag) << c.path;
  }
  // Found by the tag, and nothing else. (The emulator pages such answers
  // wrongly; the client's paging is tested against recorded answers.)
  auto found = blobhub::find_document_blobs("qd-000123");
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{md + "/QD-000123 vs QD-000124.md", md + "/SOP QD-000123 A.md",
                                             md + "/x qd-000123 again.md"}));
  // Every number a name carries is tagged, owner or not.
  EXPECT_EQ(blobhub::get_blob_tags(md + "/QD-000123 vs QD-000124.md"),
            (shared::connectors::BlobTags{{"kesto_name_000123", "1"}, {"kesto_name_000124", "1"}}));
  EXPECT_EQ(blobhub::get_blob_tags(md + "/Plain name.md"), (shared::connectors::BlobTags{{"kesto_qd", "QD-000958"}}));

  // A processed document's every artefact carries its number.
  w.add_source(kExamples[0].first, kExamples[0].second,
               testing_support::read_bytes(testing_support::source_dir() / "examples" / kExamples[0].first));
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, shared::host::task::Status::Processed) << o.error;
  for (const auto& p : w.artefacts(kExamples[0].first)) EXPECT_EQ(tag_of(p), kExamples[0].second) << p;
  // A new container made with tags on is marked as tagged throughout.
  EXPECT_TRUE(exists(blobhub::TAGS_MARKER));
}

TEST(BlobTags, DeletionByTagsKeepsEveryDecoyAndSaysWhatItCannotSee) {
  if (!pg_testing::have_cluster()) return;
  World w;
  const auto& s = w.settings;
  // The store was not backfilled.
  blobhub::delete_blob(blobhub::TAGS_MARKER);
  const auto mine = put_document(w, "SOP QD-95 Mixing.docx", "QD-95");
  const auto neighbour = put_document(w, "SOP QD-950 Milling.docx", "QD-950");
  // Another document's blob that bears QD-95 in its name.
  const auto theirs = put_document(w, "QD-000300 replaces QD-95.docx", "QD-000300");
  // QD-95's artefacts under a former file name holding no number, known
  // from its audit trail only.
  const std::string former = "Mixing procedure.docx";
  const auto old_ones = w.artefacts(former);
  for (const auto& p : old_ones) blobhub::upload_blob(p, "old " + p, {.document = "QD-95"});
  shared::host::audit_trail::append({audit::Event{.document_number = "QD-95",
                                                  .action = std::string(audit::INGESTED),
                                                  .blob_path = old_ones[0]}});
  // Tags that lie: QD-95's tag on a blob named after another document, and
  // on an artefact of another document's recorded file.
  const std::string lying_named = blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, "QD-000300 notes.md");
  blobhub::upload_blob(lying_named, "n", {.document = "QD-95"});
  const auto other_plain = put_document(w, "Other plain.docx", "QD-000400");
  blobhub::set_blob_tags(other_plain[1], {{blobhub::DOCUMENT_TAG, "QD-95"}});
  // An untagged blob of QD-95 written before tags were used.
  const std::string legacy = blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, "QD-95 legacy.summary.md");
  {
    TagsOff off(w);
    blobhub::upload_blob(legacy, "legacy");
  }

  const Record plan = deleter::plan_deletion("qd-95");
  const auto planned = texts(plan.at("blobs"));
  std::vector<std::string> expected = mine;
  expected.insert(expected.end(), old_ones.begin(), old_ones.end());
  std::sort(expected.begin(), expected.end());
  auto sorted = planned;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, expected) << plan.dump();
  const auto kept = texts(plan.at("kept"));
  EXPECT_TRUE(contains(kept, lying_named) && contains(kept, other_plain[1])) << plan.dump();
  // Found by the number its name carries, kept as another document's.
  for (const auto& p : theirs) EXPECT_TRUE(contains(kept, p)) << p;
  EXPECT_FALSE(contains(planned, legacy));

  testing_support::LogCapture cap(shared::logsetup::Level::info);
  const Deletion d = delete_document(Record{{"document_number", "qd-95"}});
  ASSERT_TRUE(d.result.success) << d.result.error.value_or("");
  EXPECT_TRUE(d.problems().empty()) << d.receipt.dump();
  for (const auto& p : expected) EXPECT_FALSE(exists(p)) << p;
  for (const auto* group : {&neighbour, &theirs, &other_plain}) {
    for (const auto& p : *group) EXPECT_TRUE(exists(p)) << p;
  }
  EXPECT_TRUE(exists(lying_named));
  // The lying tag is reported with the reason; it is kept, never removed.
  bool reported = false;
  for (const auto& k : d.receipt.at("kept")) {
    if (k.at("blob_path") == lying_named) {
      reported = k.at("reason").get<std::string>().find("tagged kesto_qd=QD-95 but neither named after") !=
                 std::string::npos;
    }
  }
  EXPECT_TRUE(reported) << d.receipt.dump();
  EXPECT_FALSE(pg_testing::messages(cap, "Kept blob '" + lying_named + "': tagged").empty());
  // The plain deletion cannot see the untagged blob, and says so.
  EXPECT_TRUE(exists(legacy));
  ASSERT_TRUE(d.verification);
  EXPECT_TRUE(d.verification->verified());
  bool said = false;
  for (const auto& n : d.verification->notes) said = said || n.find("untagged ones of 'qd-95' may remain") != std::string::npos;
  EXPECT_TRUE(said) << d.receipt.dump();

  // The sweep lists the folders and finds it; the decoys stay.
  const Record swept_plan = deleter::plan_deletion("QD-95", deleter::BlobSearch::sweep);
  EXPECT_EQ(texts(swept_plan.at("blobs")), std::vector<std::string>{legacy}) << swept_plan.dump();
  const Deletion swept = delete_document(Record{{"document_number", "QD-95"}}, deleter::BlobSearch::sweep);
  EXPECT_EQ(swept.result.data->at("deleted_artifacts"), Record::array({legacy}));
  EXPECT_FALSE(exists(legacy));
  for (const auto& n : swept.verification->notes) EXPECT_EQ(n.find("may remain"), std::string::npos) << n;
  for (const auto* group : {&neighbour, &theirs, &other_plain}) {
    for (const auto& p : *group) EXPECT_TRUE(exists(p)) << p;
  }
  EXPECT_TRUE(exists(lying_named));
}

TEST(BlobTags, TagsOffDeletesByListing) {
  if (!pg_testing::have_cluster()) return;
  World w;
  TagsOff off(w);
  const auto mine = put_document(w, "SOP QD-000777 Off.docx", "QD-000777");
  for (const auto& p : mine) EXPECT_EQ(tag_of(p), "") << p;
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  const Deletion d = delete_document(Record{{"document_number", "QD-000777"}});
  EXPECT_EQ(texts(d.result.data->at("deleted_artifacts")), mine);
  EXPECT_FALSE(pg_testing::messages(cap, "Blob index tags are off (KESTO_BLOB_TAGS=off): listing").empty());
  for (const auto& n : d.verification->notes) EXPECT_EQ(n.find("may remain"), std::string::npos) << n;
}

TEST(BlobTags, BackfillTagsWhatDocumentsOwnReportsTheRestAndDeletesNothing) {
  if (!pg_testing::have_cluster()) return;
  World w;
  const auto& s = w.settings;
  blobhub::delete_blob(blobhub::TAGS_MARKER);
  std::vector<std::string> a, b, loose;
  {
    TagsOff off(w);
    a = put_document(w, "SOP QD-000501 Alpha.docx", "QD-000501");
    b = put_document(w, "Beta without number.docx", "QD-000502");
    loose = {blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, "Loose notes.md"),
             blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, "QD-000999 gone.md"),
             blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, "QD-000501 and QD-000502.md")};
    for (const auto& p : loose) blobhub::upload_blob(p, "x");
  }
  // A blob the trail says is QD-000502's live artefact, though named after
  // no one and no artefact of its file: no deletion of it would take it.
  const std::string traced = blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, "traced.summary.md");
  {
    TagsOff off(w);
    blobhub::upload_blob(traced, "t");
  }
  shared::host::audit_trail::append({audit::Event{.document_number = "QD-000502",
                                                  .action = std::string(audit::ARTEFACT_WRITTEN),
                                                  .blob_path = traced}});
  std::vector<std::string> owned = a;
  owned.insert(owned.end(), b.begin(), b.end());
  loose.push_back(traced);

  // Two of the loose ones get the tags of the numbers their names carry.
  const auto dry = shared::host::blob_tags::backfill(true);
  EXPECT_EQ(dry.tagged, static_cast<long>(owned.size() + 2));
  for (const auto& p : owned) EXPECT_EQ(tag_of(p), "") << p;
  EXPECT_FALSE(exists(blobhub::TAGS_MARKER));

  const auto r = shared::host::blob_tags::backfill(false);
  ASSERT_TRUE(r.complete()) << shared::host::blob_tags::to_record(r).dump();
  EXPECT_EQ(r.listed, static_cast<long>(owned.size() + loose.size()));
  EXPECT_EQ(r.tagged, static_cast<long>(owned.size() + 2));
  ASSERT_EQ(r.unattributed.size(), loose.size());
  std::map<std::string, std::string> why;
  for (const auto& u : r.unattributed) why[u.blob_path] = u.reason;
  EXPECT_EQ(why[loose[0]], "names no document, and no document records it");
  EXPECT_NE(why[loose[1]].find("named after QD-000999, which has no metadata row"), std::string::npos);
  EXPECT_NE(why[loose[2]].find("named after several documents"), std::string::npos);
  EXPECT_NE(why[traced].find("the audit trail holds it as QD-000502's, but"), std::string::npos) << why[traced];
  for (const auto& p : a) EXPECT_EQ(tag_of(p), "QD-000501") << p;
  for (const auto& p : b) EXPECT_EQ(tag_of(p), "QD-000502") << p;
  EXPECT_EQ(tag_of(traced), "");
  for (const auto& p : owned) EXPECT_TRUE(exists(p)) << p;
  for (const auto& p : loose) EXPECT_TRUE(exists(p)) << p;
  EXPECT_TRUE(r.marker_written && exists(blobhub::TAGS_MARKER));
  // Run again: nothing left to do.
  const auto again = shared::host::blob_tags::backfill(false);
  EXPECT_EQ(again.tagged, 0);
  EXPECT_EQ(again.already_tagged, static_cast<long>(owned.size()));

  // A plain deletion now finds every artefact by its tags, and the blob
  // named after it and another, with no note.
  const Deletion d = delete_document(Record{{"document_number", "QD-000502"}});
  auto removed = texts(d.result.data->at("deleted_artifacts"));
  std::sort(removed.begin(), removed.end());
  std::vector<std::string> want = b;
  want.push_back(loose[2]);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(removed, want);
  EXPECT_TRUE(d.problems().empty()) << d.receipt.dump();
  for (const auto& n : d.verification->notes) EXPECT_EQ(n.find("may remain"), std::string::npos) << n;
}

TEST(ArtefactKeys, TheDatabaseKeysAgreeWithTheProgramsAndAreIndexed) {
  if (!pg_testing::have_cluster()) return;
  pg_testing::MetadataTable meta;
  const std::string db = testing_support::env("PGDATABASE");
  namespace names = shared::processors::artifact_names;
  const std::vector<std::string> files = {
      "SOP QD-000958 rev B.docx", "a/SOP-001.docx", "a.b/c", "abc.", "a.b.", ".hidden", "x..c", "noext",
      "dir/", "trailing/x.docm/", "Spaces and % and _.docx", "QD-1.2.3.docx", "ünï/cödé.docx", ""};
  for (std::size_t i = 0; i < files.size(); ++i) {
    pg_testing::exec(db, "INSERT INTO " + meta.name() + " (document_number, blob_filename) VALUES (%s, %s)",
                     {"QD-" + std::to_string(i), files[i]});
  }
  for (const Record& row : pg_testing::query(db, "SELECT blob_filename, " + std::string(mainstore::ARTEFACT_STEM_SQL) +
                                                     " AS artefact_stem, " +
                                                     std::string(mainstore::ARTEFACT_DOC_STEM_SQL) +
                                                     " AS artefact_doc_stem FROM " + meta.name())) {
    const std::string f = row.at("blob_filename");
    EXPECT_EQ(row.at("artefact_stem"), names::extraction_stem(f)) << f;
    EXPECT_EQ(row.at("artefact_doc_stem"), names::doc_stem(f)) << f;
  }
  // The collision query can be answered from the two indexes that
  // sql/sop_metadata.sql made: the expressions are the same.
  pg::PgConn c = pg_testing::connect_db(db);
  pg::execute(c.get(), "SET enable_seqscan = off");
  pg::PgResult plan = pg::execute(c.get(), "EXPLAIN " + mainstore::files_sharing_keys_statement(meta.name()),
                                  {Record::array({"x"}), "QD-1"});
  std::string text;
  for (const Record& r : pg::all_rows(plan.get())) text += r.begin()->get<std::string>() + "\n";
  EXPECT_NE(text.find(meta.name() + "_artefact_stem_idx"), std::string::npos) << text;
  EXPECT_NE(text.find(meta.name() + "_artefact_doc_stem_idx"), std::string::npos) << text;
  EXPECT_EQ(text.find("Seq Scan"), std::string::npos) << text;
}

TEST(ArtefactKeys, AnOlderTableGetsTheKeysInPlaceAndCollisionsAreStillFound) {
  if (!pg_testing::have_cluster()) return;
  World w;
  const std::string db = testing_support::env("PGDATABASE");
  const std::string old = pg_testing::unique_name("oldmeta");
  pg_testing::exec(db, "CREATE TABLE " + old +
                           " (id text PRIMARY KEY DEFAULT gen_random_uuid()::text, document_number text NOT NULL "
                           "UNIQUE, document_name text, blob_filename text, url_document_name text, status text, "
                           "error text, processed_at timestamptz)");
  pg_testing::exec(db, "INSERT INTO " + old + " (document_number, blob_filename) VALUES (%s, %s), (%s, %s)",
                   {"QD-000100", "Same Name.docx", "QD-000200", "folder/Same Name.docm"});
  auto s = w.settings;
  s.PGTABLE = old;
  testing_support::ScopedSettings scoped(s);
  // Two files whose extraction Markdown is the same blob.
  EXPECT_EQ(shared::host::metadata_row::colliding_document("QD-000300", "Same Name.docm"),
            "QD-000100 ('Same Name.docx')");
  EXPECT_EQ(shared::host::metadata_row::colliding_document("QD-000300", "Different.docx"), "");
  const auto made = pg_testing::query(db, "SELECT to_regclass(%s) IS NOT NULL AND to_regclass(%s) IS NOT NULL AS ok",
                                      {old + "_artefact_stem_idx", old + "_artefact_doc_stem_idx"});
  EXPECT_EQ(made.at(0).at("ok"), true);
  pg_testing::exec(db, "DROP TABLE " + old);
}
