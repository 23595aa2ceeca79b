#include "shared/fs/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
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

namespace {
// Reads straight into the result, whose room is `expected` bytes (the size
// of a regular file) plus one, so a file costs one allocation and one copy;
// a stream of unknown length grows the result by doubling. Never more than
// `limit` + 1 bytes are read.
std::string read_all(std::FILE* stream, const std::string& name, std::size_t limit, std::size_t expected) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  // Bytes that may still be read: what is left of the limit, and one more
  // to notice a longer input.
  const auto allowed = [limit](std::size_t have) {
    const std::size_t left = limit - have;
    return left == SIZE_MAX ? left : left + 1;
  };
  std::string out;
  out.reserve(std::min(expected, allowed(0) - 1) + 1);
  for (;;) {
    const std::size_t have = out.size();  // never past the limit here
    if (out.capacity() - have < kChunk / 4) {
      out.reserve(have + std::min(std::max(out.capacity(), kChunk), allowed(have)));
    }
    const std::size_t room = std::min(out.capacity() - have, allowed(have));
    out.resize(have + room);
    const std::size_t got = std::fread(out.data() + have, 1, room, stream);
    out.resize(have + got);
    if (out.size() > limit) throw too_large(name, limit);
    if (got < room) {
      if (std::ferror(stream)) throw Error("cannot read " + name + ": " + std::strerror(errno));
      if (std::feof(stream)) break;
    }
  }
  return out;
}
}  // namespace

std::string read_stream(std::FILE* stream, const std::string& name, std::size_t limit) {
  return read_all(stream, name, limit, 0);
}

namespace {
// read_file's work; `why` gives the system's reason when a file cannot be
// opened, or nothing.
std::string read_path(const std::string& path, std::size_t limit, std::string (*why)(int)) {
  const std::string name = "'" + path + "'";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw Error("cannot read " + name + why(errno));
  if (S_ISDIR(st.st_mode)) throw Error("cannot read " + name + ": is a folder");
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > limit) throw too_large(name, limit);
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) throw Error("cannot read " + name + why(errno));
  return read_all(f.get(), name, limit, S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
}
}  // namespace

std::string read_file(const std::string& path, std::size_t limit) {
  return read_path(path, limit, [](int) { return std::string(); });
}

std::string read_file_with_reason(const std::string& path) {
  return read_path(path, SIZE_MAX, [](int e) { return std::string(": ") + std::strerror(e); });
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
