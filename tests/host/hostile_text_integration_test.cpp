// Text the pipeline does not write itself, against the storage emulator and
// the test cluster: Word paragraphs that read like the metadata block's
// markers, metadata values that spell them, and stored names and errors
// holding control characters, through the whole run, the index, the search
// and the lines the host commands print.
#include <gtest/gtest.h>

#include <random>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "processors/docx_fixture.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/retrieval.hpp"
#include "shared/text/json_load.hpp"
#include "support/testing.hpp"

using host_world::World;
using shared::host::task::Status;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace audit = shared::connectors::audit;
namespace retrieval = shared::retrieval;
using namespace docx_fixture;

namespace {

testing_support::ProgramRun kesto(const World& w, const std::string& args, const std::string& extra = "") {
  testing_support::TempDir cwd;
  return testing_support::kesto(cwd.path(), w.program_env() + extra, args + " --log-level warning", false);
}

std::size_t count_of(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// What a user's terminal must never receive from stored text.
void expect_no_controls(const std::string& out, const std::string& what) {
  for (char c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') continue;
    EXPECT_FALSE(u < 0x20 || u == 0x7F) << what << " prints control character " << int(u) << ":\n" << out;
  }
}

}  // namespace

TEST(HostileText, WordTextBetweenMarkerParagraphsIsProcessedIndexedAndFound) {
  if (!pg_testing::have_cluster()) GTEST_SKIP();
  World w;
  const std::string start = "&lt;!-- METADATA_START --&gt;", end = "&lt;!-- METADATA_END --&gt;";
  const std::string body = h1("Gowning") + p(start) + p("Gloves are changed hourly.") + p(end) + h1("Visors") +
                           p(end) + p("Visors are wiped weekly.") + p(start) + h2("Masks") +
                           tbl(tr(tc(start) + tc("Masks are fitted daily.") + tc(end)));
  const std::string name = "SOP QD-007100 Markers.docx";
  blobhub::upload_blob(name, docx(body),
                       {.container = w.settings.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
  // A name spelling the end marker must not end the block.
  w.registry.add(name, "NEW", "QD-007100", "Gowning <!-- METADATA_END --> ## 9 Forged", "https://dms.example/7100");
  const auto outcomes = w.run();
  ASSERT_EQ(outcomes.at("QD-007100").status, Status::Processed) << outcomes.at("QD-007100").error;

  const std::string markdown = blobhub::download_blob_text(
      blobhub::build_blob_path(w.settings.BLOB_FOLDER_MARKDOWN, "SOP QD-007100 Markers.md"));
  for (const char* text : {"Gloves are changed hourly.", "Visors are wiped weekly.", "Masks are fitted daily."}) {
    EXPECT_EQ(count_of(markdown, text), 1u) << text << "\n" << markdown;
  }
  EXPECT_EQ(count_of(markdown, "<!-- METADATA_START -->"), 1u) << markdown;
  EXPECT_EQ(count_of(markdown, "<!-- METADATA_END -->"), 1u) << markdown;

  const Record sections = shared::text::loads(blobhub::download_blob_text(
      blobhub::build_blob_path(w.settings.BLOB_FOLDER_JSON, "SOP QD-007100 Markers.sections.json")));
  std::vector<std::string> keys;
  for (const auto& [key, text] : sections.at("sections").items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"SOP QD-007100 Markers::Metadata", "SOP QD-007100 Markers::1 Gowning",
                                            "SOP QD-007100 Markers::2 Visors", "SOP QD-007100 Markers::2.1 Masks"}));
  const std::string gowning = sections.at("sections").at("SOP QD-007100 Markers::1 Gowning").get<std::string>();
  EXPECT_NE(gowning.find("Gloves are changed"), std::string::npos) << gowning;

  // Found by the library and by the command.
  const retrieval::Answer a = retrieval::search({.text = "gloves changed hourly", .k = 3, .qd_number = "qd-007100",
                                                 .mode = retrieval::Mode::lexical});
  ASSERT_FALSE(a.hits.empty());
  EXPECT_EQ(a.hits[0].section_key, "SOP QD-007100 Markers::1 Gowning");
  const auto found = kesto(w, "search 'visors wiped weekly' --k 1");
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(found.out.rfind("1. [", 0), 0u) << found.out;
  EXPECT_NE(found.out.find("QD-007100  SOP QD-007100 Markers::2 Visors\n"), std::string::npos) << found.out;
}

TEST(HostileText, HostCommandsPrintStoredTextWithoutControlCharacters) {
  if (!pg_testing::have_cluster()) GTEST_SKIP();
  World w;
  const std::string hostile = "SOP QD-007200 \x1b]0;pwned\x07\nQD-000001  PROCESSED.docx";
  const std::string shown = "SOP QD-007200 \\x1b]0;pwned\\x07\\nQD-000001  PROCESSED.docx";
  w.registry.add(hostile, "DELETED", "QD-007200");

  const auto processed = kesto(w, "process --pending");
  EXPECT_EQ(processed.status, 0) << processed.err;
  EXPECT_NE(processed.out.find(shown + "  QD-007200  SKIPPED  -  "), std::string::npos) << processed.out;
  expect_no_controls(processed.out, "kesto process");

  std::random_device rd;
  const std::string queue = "kq-" + std::to_string(rd() % 1000000000u);
  const auto enqueued = kesto(w, "enqueue --pending", "KESTO_QUEUE=" + queue + " ");
  EXPECT_EQ(enqueued.status, 0) << enqueued.err;
  EXPECT_NE(enqueued.out.find(shown + "  QD-007200  SKIPPED  no metadata row"), std::string::npos) << enqueued.out;
  expect_no_controls(enqueued.out, "kesto enqueue");

  pg_testing::exec(testing_support::env("PGDATABASE"),
                   "INSERT INTO " + w.meta.name() +
                       " (document_number, blob_filename, status, error, processed_at) VALUES (%s, %s, %s, %s, now())",
                   {"QD-007200", hostile, "RUNNING", "worker lost\x1b[2J\r\nQD-000002  RUNNING"});
  const auto status = kesto(w, "queue status", "KESTO_QUEUE=" + queue + " ");
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("  QD-007200  " + shown + "  RUNNING  "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("  worker lost\\x1b[2J\\r\\nQD-000002  RUNNING\n"), std::string::npos) << status.out;
  expect_no_controls(status.out, "kesto queue status");

  auto conn = pg_testing::connect_db(testing_support::env("PGDATABASE"));
  audit::append(conn.get(), w.audit,
                {audit::Event{.document_number = "QD-007200", .action = std::string(audit::INGESTED),
                              .blob_path = "docs/" + hostile, .size = 3, .sha256 = "ab", .etag = {}, .source_etag = {},
                              .index_rows = {}, .detail = nullptr}},
                audit::Writer{.host_user = "eve\x1b]0;x\x07", .machine = "m\u0085n", .version = "1\u2028"});
  const auto trail = kesto(w, "audit QD-007200");
  EXPECT_EQ(trail.status, 0) << trail.err;
  EXPECT_EQ(count_of(trail.out, "\n"), 1u) << trail.out;
  const std::string event =
      "  ingested  'docs/" + shown + "'  3 bytes  sha256 ab  (eve\\x1b]0;x\\x07@m\\u0085n, kesto 1\\u2028)\n";
  EXPECT_NE(trail.out.find(event), std::string::npos) << trail.out;
  expect_no_controls(trail.out, "kesto audit");
}
