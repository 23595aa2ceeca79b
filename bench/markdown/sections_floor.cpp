// The floor of `kesto sections`: read the whole input file, in one read into
// a buffer of its size as the command does, then write SIZE bytes (taken
// cyclically from the input) to standard output in pieces of 1 MiB, the
// command's piece size. Nothing is parsed.
//
// usage: sections_floor FILE SIZE
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sections_floor FILE SIZE\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  struct stat st {};
  std::string text;
  if (in != nullptr && ::fstat(fileno(in), &st) == 0) {
    text.resize(static_cast<std::size_t>(st.st_size));
    text.resize(std::fread(text.data(), 1, text.size(), in));
  }
  if (in != nullptr) std::fclose(in);
  if (text.empty()) {
    std::fprintf(stderr, "sections_floor: cannot read '%s'\n", argv[1]);
    return 1;
  }
  std::size_t left = std::strtoull(argv[2], nullptr, 10);
  std::size_t at = 0;
  while (left > 0) {
    const std::size_t n = std::min({left, std::size_t{1} << 20, text.size() - at});
    std::fwrite(text.data() + at, 1, n, stdout);
    left -= n;
    at = (at + n) % text.size();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
