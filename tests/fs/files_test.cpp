// Whole-input reading: a file is read into a buffer of its size, a stream of
// unknown length grows, and the cap holds to the byte either way.
#include "shared/fs/files.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "shared/errors.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::TempDir;
using testing_support::write_bytes;

// Bytes that show where a piece went missing or was read twice.
std::string numbered(std::size_t n) {
  std::string s;
  s.reserve(n);
  for (std::size_t i = 0; s.size() < n; ++i) s += std::to_string(i) + ',';
  s.resize(n);
  return s;
}

struct PipeCloser {
  void operator()(std::FILE* f) const { pclose(f); }
};

TEST(ReadWhole, FilesAndStreamsOfEverySizeAroundTheChunkAndTheCap) {
  TempDir dir;
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
                              std::size_t{65537}, std::size_t{3} << 20}) {
    const std::string bytes = numbered(n);
    const std::string path = (dir / "in.bin").string();
    write_bytes(dir / "in.bin", bytes);
    EXPECT_EQ(shared::fs::read_file(path), bytes) << n;
    // Exactly at the cap is allowed; one byte under it is not.
    EXPECT_EQ(shared::fs::read_file(path, n), bytes) << n;
    if (n > 0) {
      EXPECT_THROW(shared::fs::read_file(path, n - 1), shared::Error) << n;
    }

    // Through a pipe the size is not known beforehand.
    const std::string command = "cat '" + path + "'";
    {
      std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
      ASSERT_TRUE(pipe);
      EXPECT_EQ(shared::fs::read_stream(pipe.get(), "the pipe", n), bytes) << n;
    }
    if (n > 0) {
      std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
      ASSERT_TRUE(pipe);
      try {
        shared::fs::read_stream(pipe.get(), "the pipe", n - 1);
        ADD_FAILURE() << n << ": no error past the cap";
      } catch (const shared::Error& e) {
        EXPECT_EQ(std::string(e.what()), "the pipe is larger than the input limit of " + std::to_string(n - 1) +
                                             " bytes (KESTO_MAX_INPUT_BYTES)");
      }
    }
  }
}

TEST(ReadWhole, AFileLongerThanItsReportedSizeIsReadWhole) {
  // /proc files report a size of 0 and still have bytes.
  const std::string status = shared::fs::read_file("/proc/self/status");
  EXPECT_NE(status.find("Name:"), std::string::npos);
}

}  // namespace
