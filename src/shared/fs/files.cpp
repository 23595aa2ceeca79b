#include "shared/fs/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string_view>

#include "shared/config.hpp"
#include "shared/errors.hpp"

namespace shared::fs {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept {
    if (f) std::fclose(f);
  }
};

Error too_large(const std::string& name, std::size_t limit) {
  return Error(name + " is larger than the input limit of " + std::to_string(limit) +
               " bytes (KESTO_MAX_INPUT_BYTES)");
}

}  // namespace

std::size_t input_limit() { return config::get().MAX_INPUT_BYTES; }

std::string read_stream(std::FILE* stream, const std::string& name, std::size_t limit) {
  std::string out;
  char buf[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(buf, 1, sizeof buf, stream);
    if (got > 0) {
      if (out.size() + got > limit) throw too_large(name, limit);
      out.append(buf, got);
    }
    if (got < sizeof buf) {
      if (std::ferror(stream)) throw Error("cannot read " + name + ": " + std::strerror(errno));
      if (std::feof(stream)) break;
    }
  }
  return out;
}

std::string read_file(const std::string& path, std::size_t limit) {
  const std::string name = "'" + path + "'";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw Error("cannot read " + name);
  if (S_ISDIR(st.st_mode)) throw Error("cannot read " + name + ": is a folder");
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > limit) throw too_large(name, limit);
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) throw Error("cannot read " + name);
  return read_stream(f.get(), name, limit);
}

std::string read_stdin(std::size_t limit) { return read_stream(stdin, "standard input", limit); }

std::string_view without_bom(std::string_view text) {
  return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}

}  // namespace shared::fs
