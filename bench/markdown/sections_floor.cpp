// The floor of `kesto sections`: read the whole input file, then write
// SIZE bytes (taken cyclically from the input) to standard output in pieces
// of 64 KiB, as the command does. Nothing is parsed.
//
// usage: sections_floor FILE SIZE
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sections_floor FILE SIZE\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  std::string text;
  if (in != nullptr) {
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    std::fclose(in);
  }
  if (text.empty()) {
    std::fprintf(stderr, "sections_floor: cannot read '%s'\n", argv[1]);
    return 1;
  }
  std::size_t left = std::strtoull(argv[2], nullptr, 10);
  std::size_t at = 0;
  while (left > 0) {
    const std::size_t n = std::min({left, std::size_t{1} << 16, text.size() - at});
    std::fwrite(text.data() + at, 1, n, stdout);
    left -= n;
    at = (at + n) % text.size();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
