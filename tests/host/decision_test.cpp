#include "shared/host/decision.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace shared::host::decision;
using shared::host::task::Action;
using shared::host::task::Status;

namespace {

// What the metadata table, the locks and the storage would answer.
struct World {
  std::optional<Row> row;
  bool exists_as_given = false;
  Lock lock = Lock::free;
  std::string etag = "etag-1";
  FileCheck file;
  std::string collision;
};

// A caller's side of the protocol: reads each fact the decision needs from
// `world`, as the host's callers do, until it is decided. Every fact read
// is noted, in order.
struct Driven {
  Decision decision;
  std::vector<Need> reads;
};

Driven drive(const World& world, Document document, const Options& options) {
  RowState row;
  SourceState source;
  Driven out;
  for (int step = 0; step < 10; ++step) {
    out.decision = decide(row, source, document, options);
    if (out.decision.need == Need::nothing) return out;
    out.reads.push_back(out.decision.need);
    switch (out.decision.need) {
      case Need::file_check: document.file = world.file; break;
      case Need::lock: row.lock = world.lock; break;
      case Need::row:
        row.row = world.row;
        row.read = true;
        break;
      case Need::row_as_given: row.exists_as_given = world.exists_as_given; break;
      case Need::source: source.etag = world.etag; break;
      case Need::collision: document.collision = world.collision; break;
      case Need::nothing: break;
    }
  }
  ADD_FAILURE() << "no decision after 10 facts";
  return out;
}

Document process(std::string given = "QD-000958") {
  Document d{.action = Action::Process, .blob_filename = "SOP QD-000958.docx"};
  d.number.given = given;
  d.number.qd = given == "QD-000958" || given == "qd-000958" ? std::optional<std::string>("QD-000958") : std::nullopt;
  return d;
}

Document deletion(std::string given = "QD-000958") {
  Document d = process(std::move(given));
  d.action = Action::Delete;
  d.blob_filename = "";
  return d;
}

Document local(Document d) {
  d.local = true;
  return d;
}

Document uploaded(Document d) {
  d.uploaded = true;
  return d;
}

Row row(std::optional<Status> status, std::string etag = "etag-1", double age_s = 125.4, std::string mark = "1700") {
  return Row{.status = status, .age_s = age_s, .source_etag = std::move(etag), .mark = std::move(mark)};
}

World with(std::optional<Row> r, Lock lock = Lock::free) { return World{.row = std::move(r), .lock = lock}; }

const Options kRun{};
const Options kRunNoDb{.database = false};
const Options kRunForced{.force = true};
const Options kQueue{.purpose = Purpose::queue};
const Options kQueueNoDb{.purpose = Purpose::queue, .database = false};
const Options kQueueForced{.purpose = Purpose::queue, .force = true};
const Options kQueueNoMessages{.purpose = Purpose::queue, .queued_without_message_after_s = 60};

Options forced_from_queue(std::string mark) {
  return Options{.force = true, .queued_row_mark = std::move(mark)};
}

const std::string kBusy = "being run by another process at this moment";
const std::string kUnchanged = "source unchanged since its last successful run";
const std::string kNoRow = "no metadata row: already deleted or never processed";
const std::string kCollision =
    "'SOP QD-000958.docx' would overwrite the artefacts of QD-000001 ('SOP QD-000958.docx'): the two documents need "
    "file names of their own";

struct Expected {
  bool go;
  Status status;
  std::string reason;
  std::vector<Need> reads;
  std::string stage = "";
  bool retryable = false;
  bool recorded = false;
  std::string note = "";
};

struct Case {
  const char* name;
  World world;
  Document document;
  Options options;
  Expected expected;
};

std::string reads_text(const std::vector<Need>& reads) {
  static const char* const kNames[] = {"nothing", "file_check", "lock", "row", "row_as_given", "source", "collision"};
  std::ostringstream s;
  for (const Need n : reads) s << kNames[static_cast<int>(n)] << ' ';
  return s.str();
}

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Driven got = drive(c.world, c.document, c.options);
    const Decision& d = got.decision;
    EXPECT_EQ(d.go, c.expected.go);
    EXPECT_EQ(d.status, c.expected.status);
    EXPECT_EQ(d.reason, c.expected.reason);
    EXPECT_EQ(d.stage, c.expected.stage);
    EXPECT_EQ(d.retryable, c.expected.retryable);
    EXPECT_EQ(d.recorded, c.expected.recorded);
    EXPECT_EQ(d.note, c.expected.note);
    EXPECT_EQ(reads_text(got.reads), reads_text(c.expected.reads));
  }
}

using N = Need;
const std::vector<Need> kFullRun = {N::file_check, N::lock, N::row, N::source, N::collision};

}  // namespace

TEST(HostDecisionUnit, ProcessRunByRowState) {
  const std::string abandoned = "previous run abandoned (RUNNING for 125 s); run again";
  check({
      {"no row", with(std::nullopt), process(), kRun, {true, Status::Running, "", kFullRun}},
      {"PROCESSED from the same source", with(row(Status::Processed)), process(), kRun,
       {false, Status::Skipped, kUnchanged, {N::file_check, N::lock, N::row, N::source}}},
      {"PROCESSED from another source", with(row(Status::Processed, "etag-0")), process(), kRun,
       {true, Status::Running, "", kFullRun}},
      {"RUNNING, its lock free: abandoned", with(row(Status::Running)), process(), kRun,
       {true, Status::Running, "", kFullRun, "", false, false, abandoned}},
      {"RUNNING, its lock held elsewhere", with(row(Status::Running), Lock::held_elsewhere), process(), kRun,
       {false, Status::Skipped, kBusy, {N::file_check, N::lock}, "", true}},
      {"no row, lock held elsewhere", with(std::nullopt, Lock::held_elsewhere), process(), kRun,
       {false, Status::Skipped, kBusy, {N::file_check, N::lock}, "", true}},
      {"QUEUED", with(row(Status::Queued)), process(), kRun, {true, Status::Running, "", kFullRun}},
      {"FAILED", with(row(Status::Failed)), process(), kRun, {true, Status::Running, "", kFullRun}},
      {"ERROR", with(row(Status::Error)), process(), kRun, {true, Status::Running, "", kFullRun}},
      {"SKIPPED", with(row(Status::Skipped)), process(), kRun, {true, Status::Running, "", kFullRun}},
      {"a status word the host does not write", with(row(std::nullopt)), process(), kRun,
       {true, Status::Running, "", kFullRun}},
  });
}

TEST(HostDecisionUnit, ProcessRunBySourceAndOptions) {
  World unknown_etag = with(row(Status::Processed, ""));
  unknown_etag.etag = "";
  World refused = with(std::nullopt);
  refused.file = FileCheck{.passed = false, .stage = "VALIDATION", .error = "not a Word file"};
  World colliding = with(row(Status::Running));
  colliding.collision = "QD-000001 ('SOP QD-000958.docx')";
  check({
      // An empty ETag says nothing about the source: it runs.
      {"source ETag unknown", unknown_etag, process(), kRun, {true, Status::Running, "", kFullRun}},
      {"local file: no source to read", with(row(Status::Processed)), local(process()), kRun,
       {true, Status::Running, "", {N::file_check, N::lock, N::row, N::collision}}},
      {"uploaded and unchanged", with(row(Status::Processed)), uploaded(process()), kRun,
       {false, Status::Skipped, kUnchanged, {N::file_check, N::lock, N::row, N::source}}},
      {"no database: no lock, row or collision", with(row(Status::Processed)), process(), kRunNoDb,
       {true, Status::Running, "", {N::file_check, N::source}}},
      {"no database, local file", with(std::nullopt), local(process()), kRunNoDb,
       {true, Status::Running, "", {N::file_check}}},
      {"forced, unchanged", with(row(Status::Processed)), process(), kRunForced, {true, Status::Running, "", kFullRun}},
      {"forced from the queue, row as queued", with(row(Status::Processed)), process(), forced_from_queue("1700"),
       {true, Status::Running, "", kFullRun}},
      {"forced from the queue, run since", with(row(Status::Processed)), process(), forced_from_queue("1600"),
       {false, Status::Skipped, "already processed from the same source since it was queued",
        {N::file_check, N::lock, N::row, N::source}}},
      {"forced from the queue, changed source", with(row(Status::Processed, "etag-0")), process(),
       forced_from_queue("1600"), {true, Status::Running, "", kFullRun}},
      {"file type refused", refused, process(), kRun,
       {false, Status::Failed, "not a Word file", {N::file_check}, "VALIDATION", false, true}},
      {"artefact names taken, after an abandoned run", colliding, process(), kRun,
       {false, Status::Failed, kCollision, kFullRun, "VALIDATION", false, true,
        "previous run abandoned (RUNNING for 125 s); run again"}},
      {"no QD-number", with(std::nullopt), process(""), kRun,
       {false, Status::Failed, "Document has no QD-number (document_number)", {}, "VALIDATION"}},
      {"malformed QD-number", with(std::nullopt), process("QD-"), kRun,
       {false, Status::Failed, "Invalid QD-number 'QD-': a QD-number is 'QD-' followed by digits", {}, "VALIDATION"}},
      {"malformed QD-number, no database", with(std::nullopt), process("%"), kRunNoDb,
       {false, Status::Failed, "Invalid QD-number '%': a QD-number is 'QD-' followed by digits", {}, "VALIDATION"}},
  });
}

TEST(HostDecisionUnit, DeletionRun) {
  World as_given = with(std::nullopt);
  as_given.exists_as_given = true;
  check({
      {"row", with(row(Status::Processed)), deletion(), kRun, {true, Status::Running, "", {N::row}}},
      {"RUNNING row: the deletion takes the lock itself", with(row(Status::Running)), deletion(), kRun,
       {true, Status::Running, "", {N::row}}},
      {"no row", with(std::nullopt), deletion(), kRun, {false, Status::Skipped, kNoRow, {N::row}}},
      {"no row, none as given either", with(std::nullopt), deletion("qd-000958"), kRun,
       {false, Status::Skipped, kNoRow, {N::row, N::row_as_given}}},
      {"a row under the number as given", as_given, deletion("qd-000958"), kRun,
       {true, Status::Running, "", {N::row, N::row_as_given}}},
      {"forced", with(std::nullopt), deletion(), kRunForced, {true, Status::Running, "", {}}},
      {"no database", with(std::nullopt), deletion(), kRunNoDb, {true, Status::Running, "", {}}},
      // The number may still come from the file name.
      {"no number given", with(std::nullopt), deletion(""), kRun, {true, Status::Running, "", {}}},
      {"malformed number", with(std::nullopt), deletion("QD-12a"), kRun,
       {false, Status::Failed, "Invalid QD-number 'QD-12a': a QD-number is 'QD-' followed by digits", {}, "DELETION"}},
  });
  // The deletion found the lock held: the decision says what that means.
  RowState held{.read = true, .row = row(Status::Running), .lock = Lock::held_elsewhere};
  const Decision d = decide(held, {}, deletion(), kRun);
  EXPECT_EQ(d.need, Need::nothing);
  EXPECT_FALSE(d.go);
  EXPECT_EQ(d.status, Status::Skipped);
  EXPECT_EQ(d.reason, kBusy);
  EXPECT_TRUE(d.retryable);
}

TEST(HostDecisionUnit, QueueingByRowState) {
  const std::vector<Need> full = {N::collision, N::row, N::source};
  World colliding = with(std::nullopt);
  colliding.collision = "QD-000001 ('SOP QD-000958.docx')";
  check({
      {"no row", with(std::nullopt), process(), kQueue, {true, Status::Queued, "", full}},
      {"PROCESSED from the same source", with(row(Status::Processed)), process(), kQueue,
       {false, Status::Skipped, kUnchanged, full}},
      {"PROCESSED from another source", with(row(Status::Processed, "etag-0")), process(), kQueue,
       {true, Status::Queued, "", full}},
      {"QUEUED, queue not known to be empty", with(row(Status::Queued, "", 4000)), process(), kQueue,
       {false, Status::Waiting, "already queued 4000 s ago (--force queues it again)", {N::collision, N::row}}},
      {"QUEUED lately, queue empty", with(row(Status::Queued, "", 59.4)), process(), kQueueNoMessages,
       {false, Status::Waiting, "already queued 59 s ago (--force queues it again)", {N::collision, N::row}}},
      {"QUEUED, lost its message", with(row(Status::Queued, "", 60)), process(), kQueueNoMessages,
       {true, Status::Queued, "marked QUEUED 60 s ago, but no message is left in the queue: queued again",
        {N::collision, N::row}}},
      {"RUNNING, lock held elsewhere", with(row(Status::Running), Lock::held_elsewhere), process(), kQueue,
       {false, Status::Waiting, kBusy, {N::collision, N::row, N::lock}}},
      {"RUNNING, lock free", with(row(Status::Running, "etag-1", 299.6)), process(), kQueue,
       {true, Status::Queued, "previous run abandoned (RUNNING for 300 s); queued again",
        {N::collision, N::row, N::lock}}},
      {"FAILED", with(row(Status::Failed)), process(), kQueue, {true, Status::Queued, "", full}},
      {"ERROR", with(row(Status::Error)), process(), kQueue, {true, Status::Queued, "", full}},
      {"SKIPPED", with(row(Status::Skipped)), process(), kQueue, {true, Status::Queued, "", full}},
      {"a status word the host does not write", with(row(std::nullopt)), process(), kQueue,
       {true, Status::Queued, "", full}},
      {"artefact names taken: refused, not recorded", colliding, process(), kQueue,
       {false, Status::Failed, kCollision, {N::collision}, "VALIDATION"}},
  });
}

TEST(HostDecisionUnit, QueueingBySourceAndOptions) {
  World unknown_etag = with(row(Status::Processed, ""));
  unknown_etag.etag = "";
  World as_given = with(std::nullopt);
  as_given.exists_as_given = true;
  check({
      {"source ETag unknown", unknown_etag, process(), kQueue, {true, Status::Queued, "", {N::collision, N::row, N::source}}},
      {"local file: its source is not looked at", with(row(Status::Processed)), local(process()), kQueue,
       {true, Status::Queued, "", {N::collision, N::row}}},
      {"uploaded: its source is not looked at", with(row(Status::Processed)), uploaded(process()), kQueue,
       {true, Status::Queued, "", {N::collision, N::row}}},
      {"no database", with(row(Status::Queued)), process(), kQueueNoDb, {true, Status::Queued, "", {}}},
      {"forced, QUEUED", with(row(Status::Queued)), process(), kQueueForced,
       {true, Status::Queued, "", {N::collision, N::row}}},
      {"forced, unchanged", with(row(Status::Processed)), process(), kQueueForced,
       {true, Status::Queued, "", {N::collision, N::row}}},
      {"malformed QD-number", with(std::nullopt), process("QD-x"), kQueue,
       {false, Status::Failed, "Invalid QD-number 'QD-x': a QD-number is 'QD-' followed by digits", {}, "VALIDATION"}},
      {"deletion, row", with(row(Status::Processed)), deletion(), kQueue, {true, Status::Queued, "", {N::row}}},
      {"deletion, no row", with(std::nullopt), deletion(), kQueue, {false, Status::Skipped, kNoRow, {N::row}}},
      {"deletion, row under the number as given", as_given, deletion("qd-000958"), kQueue,
       {true, Status::Queued, "", {N::row, N::row_as_given}}},
      {"deletion, no row in either form", with(std::nullopt), deletion("qd-000958"), kQueue,
       {false, Status::Skipped, kNoRow, {N::row, N::row_as_given}}},
      {"deletion, QUEUED", with(row(Status::Queued, "", 3)), deletion(), kQueue,
       {false, Status::Waiting, "already queued 3 s ago (--force queues it again)", {N::row}}},
      {"deletion, RUNNING elsewhere", with(row(Status::Running), Lock::held_elsewhere), deletion(), kQueue,
       {false, Status::Waiting, kBusy, {N::row, N::lock}}},
      {"deletion forced, no row", with(std::nullopt), deletion(), kQueueForced, {true, Status::Queued, "", {N::row}}},
      {"deletion without a number", with(std::nullopt), deletion(""), kQueue, {true, Status::Queued, "", {}}},
      {"deletion, malformed number", with(std::nullopt), deletion("QD-"), kQueue,
       {false, Status::Failed, "Invalid QD-number 'QD-': a QD-number is 'QD-' followed by digits", {}, "DELETION"}},
  });
}

TEST(HostDecisionUnit, LostItsMessageOnlyWhenTheQueueIsEmptyAndTheMarkOldEnough) {
  struct {
    std::optional<Status> status;
    double age_s;
    std::optional<double> after_s;
    bool lost;
  } const cases[] = {
      {Status::Queued, 60, 60, true},      {Status::Queued, 59.9, 60, false},
      {Status::Queued, 1e6, std::nullopt, false}, {Status::Running, 1e6, 60, false},
      {std::nullopt, 1e6, 60, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lost_its_message(row(c.status, "", c.age_s), c.after_s), c.lost) << c.age_s;
  }
}
