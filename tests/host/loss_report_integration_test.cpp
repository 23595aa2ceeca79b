// What the conversion left out of a document, from the host's side: stored
// in its metadata row, noted on its line of `kesto process`, and a table
// made before the column existed still working.
#include <gtest/gtest.h>

#include <filesystem>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/processors/conversion_loss.hpp"
#include "shared/processors/extractor.hpp"
#include "support/testing.hpp"

namespace {

using host_world::kExamples;
using host_world::World;
using shared::host::task::Status;
using shared::Record;
namespace mainstore = shared::connectors::mainstore;
namespace loss = shared::processors::conversion_loss;

// The report of converting the example file `name` here, in the test.
Record example_report(const std::string& name) {
  loss::LossReport r;
  shared::processors::extractor::docx_bytes_to_markdown(
      testing_support::read_bytes(testing_support::source_dir() / "examples" / name), r);
  return loss::to_record(r);
}

TEST(HostLossReport, StoredInTheRowAndNotedOnTheDocumentsLine) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  const std::string kesto = "env " + w.program_env() + "'" + (testing_support::binary_dir() / "kesto").string() + "'";
  std::string out;
  const int rc = testing_support::run_command(kesto + " process --pending --log-level error 2>/dev/null", &out);
  EXPECT_EQ(rc, 0) << out;
  for (const auto& [name, qd] : kExamples) {
    SCOPED_TRACE(qd);
    const Record expected = example_report(name);
    // The sample SOPs have merged table cells, so each has something to say.
    const std::string note = loss::loss_note(expected);
    ASSERT_FALSE(note.empty());
    const std::size_t line = out.find(name + "  " + qd + "  PROCESSED");
    ASSERT_NE(line, std::string::npos) << out;
    const std::string text = out.substr(line, out.find('\n', line) - line);
    EXPECT_NE(text.find("s  lost: " + note), std::string::npos) << text;

    const auto row = mainstore::get_by_document_number(qd, w.meta.name());
    ASSERT_TRUE(row);
    // Stored as json, the keys keep their order.
    EXPECT_EQ(row->at("loss_report").dump(), expected.dump());
  }
}

TEST(HostLossReport, ATableWithoutTheColumnStillRecordsTheOutcome) {
  if (!pg_testing::have_cluster()) return;
  World w;
  pg_testing::exec(testing_support::env("PGDATABASE"), "ALTER TABLE " + w.meta.name() + " DROP COLUMN loss_report");
  w.add_source(kExamples[0].first, kExamples[0].second,
               testing_support::read_bytes(testing_support::source_dir() / "examples" / kExamples[0].first));
  testing_support::LogCapture cap(shared::logsetup::Level::warning);
  const auto outcomes = w.run();
  const auto& o = outcomes.at(kExamples[0].second);
  EXPECT_EQ(o.status, Status::Processed) << o.error;
  // The result still carries the report; only the row cannot hold it.
  EXPECT_EQ(nlohmann::json(o.result.at("loss_report")), nlohmann::json(example_report(kExamples[0].first)));
  const auto row = mainstore::get_by_document_number(kExamples[0].second, w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "PROCESSED");
  EXPECT_FALSE(row->contains("loss_report"));
  EXPECT_EQ(cap.matching("has no column loss_report: run sql/sop_metadata.sql on it").size(), 1u) << cap.text();
}

}  // namespace
