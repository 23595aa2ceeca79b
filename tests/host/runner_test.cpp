#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using namespace shared::host::runner;
using namespace shared::host::task;
using shared::Record;

TEST(HostRunnerUnit, RecordBuiltFromAFileName) {
  EXPECT_EQ(record_from_file_name("SOP qd-000958 rev B.docx"),
            (Record{{"blob_filename", "SOP qd-000958 rev B.docx"},
                    {"document_name", "SOP qd-000958 rev B"},
                    {"document_number", "QD-000958"},
                    {"url_document_name", ""}}));
  EXPECT_EQ(record_from_file_name("Plain.docx").at("document_number"), "");
  EXPECT_EQ(record_from_file_name(".docx").at("document_name"), ".docx");
}

TEST(HostRunnerUnit, LocalTasksBatchesAndMetadataRows) {
  testing_support::TempDir dir;
  std::vector<std::string> files;
  for (const char* n : {"A QD-1.docx", "B QD-2.docx", "C.docx", "D QD-4.docx", "E qd-5.docx"}) {
    testing_support::write_bytes(dir / n, "x");
    files.push_back((dir / n).string());
  }
  testing_support::write_bytes(dir / "meta.csv",
                               "blob_filename,document_number,url_document_name,document_name\n"
                               "C.docx,QD-77,https://dms/77,\"Title, with comma\"\n");
  const auto tasks = local_tasks(files, (dir / "meta.csv").string(), 2);
  ASSERT_EQ(tasks.size(), 5u);
  const std::vector<long> sizes = {2, 2, 2, 2, 1};
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    EXPECT_EQ(tasks[i].batch_size, sizes[i]) << i;
    EXPECT_EQ(tasks[i].action, Action::Process);
    EXPECT_EQ(tasks[i].local_file, files[i]);
  }
  EXPECT_EQ(tasks[0].doc.at("document_number"), "QD-1");
  EXPECT_EQ(tasks[2].doc.at("document_number"), "QD-77");
  EXPECT_EQ(tasks[2].doc.at("document_name"), "Title, with comma");
  EXPECT_EQ(tasks[4].doc.at("document_number"), "QD-5");
  EXPECT_THROW(local_tasks({(dir / "missing.docx").string()}, "", 10), shared::ValueError);
  // C.docx has no QD-number without its metadata row.
  EXPECT_THROW(local_tasks({files[2]}, "", 10), shared::ValueError);
}

TEST(HostRunnerUnit, TasksAndOutcomesRoundTripThroughTheWorkerProtocol) {
  const Task t{.action = Action::Delete, .doc = Record{{"document_number", "QD-1"}, {"x", 1.5}}, .batch_size = 3,
               .local_file = "/tmp/a b.docx"};
  const Task back = task_from_record(Record::parse(to_record(t).dump()));
  EXPECT_EQ(back.action, t.action);
  EXPECT_EQ(back.doc, t.doc);
  EXPECT_EQ(back.batch_size, 3);
  EXPECT_EQ(back.local_file, t.local_file);

  const Outcome o{.action = Action::Process, .name = "n.docx", .qd_number = "QD-1", .status = Status::Error,
                  .stage = "EXTRACTION", .error = "bad \u2192 thing", .seconds = 1.25,
                  .result = Record{{"status", "ERROR"}},
                  .stage_seconds = {{"VALIDATION", 0.5}, {"EXTRACTION", 1.25}}};
  const Outcome ob = outcome_from_record(Record::parse(to_record(o).dump()));
  EXPECT_EQ(to_record(ob), to_record(o));
  // The stages' times cross the pipe to the queue worker's metrics.
  EXPECT_EQ(ob.stage_seconds, o.stage_seconds);
}

TEST(HostRunnerUnit, MissingSettingsNamedByVariable) {
  shared::config::Settings s;
  s.STORAGE_CONNECTION_STRING = "x";
  s.SUMMARY_ENGINE = "outline";
  testing_support::ScopedSettings scoped(s);
  EXPECT_EQ(missing_settings(false, false), (std::vector<std::string>{"STORAGE_CONTAINER_NAME"}));
  const auto pending = missing_settings(true, true);
  EXPECT_EQ(pending.front(), "STORAGE_CONTAINER_NAME");
  EXPECT_NE(std::find(pending.begin(), pending.end(), "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING"), pending.end());
  EXPECT_NE(std::find(pending.begin(), pending.end(), "PGHOST"), pending.end());
  s.SUMMARY_ENGINE = "azure-openai";
  testing_support::ScopedSettings model(s);
  const auto m = missing_settings(false, false);
  EXPECT_NE(std::find(m.begin(), m.end(), "AZURE_OPENAI_KEY"), m.end());
}

TEST(HostRunnerUnit, RunAllSpreadsTasksOverWorkersAndReportsTheDocumentOfOneThatDied) {
  // A worker that answers each task with a SKIPPED outcome naming its line,
  // and ends without an answer on a task for "QD-2".
  const std::string worker =
      "while IFS= read -r line; do case \"$line\" in *QD-2*) exit 3;; esac; "
      "echo '{\"action\":\"process\",\"name\":\"answered\",\"qd_number\":\"\",\"status\":\"SKIPPED\",\"stage\":\"\","
      "\"error\":\"\",\"seconds\":0,\"result\":null}'; done";
  std::vector<Task> tasks;
  for (const char* qd : {"QD-1", "QD-2", "QD-3", "QD-4"}) {
    tasks.push_back(Task{.doc = Record{{"document_number", qd}, {"blob_filename", std::string(qd) + ".docx"}}});
  }
  std::vector<Outcome> seen;
  run_all(tasks, {}, 2, {"/bin/sh", "-c", worker}, [&](const Outcome& o) { seen.push_back(o); });
  ASSERT_EQ(seen.size(), 4u);
  int answered = 0;
  for (const Outcome& o : seen) {
    if (o.status == Status::Skipped) {
      EXPECT_EQ(o.name, "answered");
      ++answered;
      continue;
    }
    EXPECT_EQ(o.status, Status::Error);
    EXPECT_EQ(o.name, "QD-2.docx");
    EXPECT_EQ(o.qd_number, "QD-2");
    EXPECT_EQ(o.action, Action::Process);
    EXPECT_EQ(o.error, "worker process ended unexpectedly");
  }
  EXPECT_EQ(answered, 3);
}

TEST(HostRunnerUnit, AWorkerAnswersATaskItCannotReadWithAnError) {
  std::istringstream in("not json\n\n{\"action\":\"process\"}\n");
  std::ostringstream out;
  EXPECT_EQ(run_worker({}, in, out), 0);
  std::istringstream lines(out.str());
  std::string line;
  std::vector<Outcome> seen;
  while (std::getline(lines, line)) seen.push_back(outcome_from_record(Record::parse(line)));
  ASSERT_EQ(seen.size(), 2u) << out.str();
  for (const Outcome& o : seen) {
    EXPECT_EQ(o.status, Status::Error);
    EXPECT_FALSE(o.action.has_value());
    EXPECT_EQ(o.error.rfind("bad task: ", 0), 0u) << o.error;
  }
}
