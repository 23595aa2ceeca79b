#include "shared/processors/validator.hpp"

#include <gtest/gtest.h>

#include "support/testing.hpp"

using shared::Record;

TEST(ValidationStage, AcceptsWordFilesWithinTheBatchLimit) {
  shared::config::Settings s;
  s.MAX_BATCH_SIZE = 10;
  testing_support::ScopedSettings scoped(s);
  testing_support::LogCapture cap;
  shared::processors::validator::ValidationStage stage;
  struct Case {
    Record doc;
    long batch;
    bool ok;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{{"blob_filename", "SOP-1.docx"}}, 1, true, ""},
      {{{"blob_filename", "dir/SOP QD-1.DOCM"}}, 10, true, ""},
      {{{"blob_filename", "SOP-1.pdf"}}, 1, false, "Unsupported file type 'SOP-1.pdf': only .docx and .docm are processed"},
      {{{"blob_filename", ".docx"}}, 1, false, "Unsupported file type '.docx': only .docx and .docm are processed"},
      {{{"file_name", "x.docx"}}, 1, false, "Document has no blob_filename"},
      {{{"blob_filename", ""}}, 1, false, "Document has no blob_filename"},
      {{{"blob_filename", "a.docx"}}, 11, false, "Batch size 11 exceeds MAX_BATCH_SIZE 10"},
  };
  for (const auto& c : cases) {
    Record ctx = {{"batch_size", c.batch}};
    const auto r = stage.run(c.doc, ctx);
    EXPECT_EQ(r.stage, "VALIDATION");
    EXPECT_EQ(r.success, c.ok) << c.doc.dump();
    if (!c.ok) {
      EXPECT_EQ(r.error.value_or(""), c.error);
    }
  }
}
