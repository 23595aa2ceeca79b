// Standard output written from a thread of its own: every byte in order,
// and a failed write reported, not lost.
#include "apps/common/background_output.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "support/testing.hpp"

namespace {

TEST(BackgroundOutput, PiecesOfEverySizeArriveInOrder) {
  testing_support::TempDir dir;
  const std::string path = (dir / "out.txt").string();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string expected;
  {
    apps::BackgroundOutput out(f);
    // Pieces from one byte to past the buffer, so hand-overs fall inside
    // pieces and between them.
    for (std::size_t i = 0; i < 400; ++i) {
      std::string piece((i * 7919) % 70000 + 1, static_cast<char>('a' + i % 26));
      piece += std::to_string(i);
      if (i == 200) piece.append(std::size_t{3} << 20, 'z');
      out.write(piece);
      expected += piece;
    }
    out.finish();
  }
  std::fclose(f);
  const std::string got = testing_support::read_bytes(dir / "out.txt");
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST(BackgroundOutput, AFullDeviceIsAnErrorNotASilentLoss) {
  std::FILE* f = std::fopen("/dev/full", "wb");
  ASSERT_NE(f, nullptr);
  {
    apps::BackgroundOutput out(f);
    try {
      for (int i = 0; i < 8; ++i) out.write(std::string(std::size_t{1} << 20, 'x'));
      out.finish();
      ADD_FAILURE() << "no error on a full device";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "cannot write to standard output");
    }
  }
  std::fclose(f);

  // Even a small write that only the flush at the end sends is reported.
  f = std::fopen("/dev/full", "wb");
  ASSERT_NE(f, nullptr);
  {
    apps::BackgroundOutput out(f);
    out.write("a line\n");
    EXPECT_THROW(out.finish(), std::runtime_error);
  }
  std::fclose(f);
}

}  // namespace
