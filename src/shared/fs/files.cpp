#include "shared/fs/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
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

void write_file_atomic(const std::string& path_text, std::string_view bytes) {
  namespace stdfs = std::filesystem;
  const stdfs::path path(path_text);
  std::error_code ec;
  // A file that does not exist yet is no link; only a link is resolved.
  const bool link = stdfs::is_symlink(stdfs::symlink_status(path, ec));
  const stdfs::path target = link ? stdfs::canonical(path, ec) : path;
  if (link && ec) throw Error("cannot write '" + path_text + "': " + ec.message());
  ec.clear();
  std::random_device rd;
  stdfs::path tmp = target;
  tmp += ".kesto-" + std::to_string(rd()) + ".tmp";
  const auto fail = [&](const std::string& why) {
    std::error_code ignored;
    stdfs::remove(tmp, ignored);
    return Error("cannot write '" + path_text + "'" + (why.empty() ? "" : ": " + why));
  };
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw fail("");
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw fail("");
  }
  const stdfs::perms perms = stdfs::status(target, ec).permissions();
  if (!ec) stdfs::permissions(tmp, perms, ec);
  stdfs::rename(tmp, target, ec);
  if (ec) throw fail(ec.message());
}

std::string_view without_bom(std::string_view text) {
  return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}

}  // namespace shared::fs
