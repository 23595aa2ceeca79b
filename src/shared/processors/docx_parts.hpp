// The pieces the two halves of the DOCX package reader share: the package
// half (zip archive, relationships, styles: docx_package.cpp) and the body
// half (the main part's paragraphs and tables: docx_body.cpp). Private to
// the reader.
#pragma once

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <zip.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "shared/handles.hpp"
#include "shared/processors/docx_package.hpp"

namespace shared::processors::docx_package::detail {

using ZipFile = std::unique_ptr<zip_file_t, handles::CFree<zip_fclose>>;

inline bool eq(const xmlChar* a, const char* b) noexcept {
  return a != nullptr && std::strcmp(reinterpret_cast<const char*>(a), b) == 0;
}

inline std::string quote_part(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '\'';
  out += name;
  out += '\'';
  return out;
}

inline void init_libxml_once() {
  static const bool done = [] {
    xmlInitParser();
    return true;
  }();
  (void)done;
}

// One part, inflated in a stream and capped at `limit` bytes.
class PartStream {
 public:
  PartStream(zip_t* za, zip_int64_t index, std::string name, std::uint64_t limit)
      : name_(std::move(name)), limit_(limit) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, static_cast<zip_uint64_t>(index), 0, &st) != 0) {
      throw PackageError("cannot read part " + quote_part(name_) + ": " + zip_strerror(za));
    }
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
      throw PackageError("part " + quote_part(name_) + " is encrypted");
    }
    if ((st.valid & ZIP_STAT_SIZE) != 0) {
      if (st.size > limit_) throw PackageError("part " + quote_part(name_) + " inflates to more than " + size_text(limit_));
      declared_ = st.size;
    }
    file_.reset(zip_fopen_index(za, static_cast<zip_uint64_t>(index), 0));
    if (!file_) throw PackageError("cannot read part " + quote_part(name_) + ": " + zip_strerror(za));
  }

  int read(char* buffer, int len) noexcept {
    if (!error_.empty()) return -1;
    const zip_int64_t n = zip_fread(file_.get(), buffer, static_cast<zip_uint64_t>(len));
    if (n < 0) {
      error_ = "cannot read part " + quote_part(name_) + ": " + zip_file_strerror(file_.get());
      return -1;
    }
    total_ += static_cast<std::uint64_t>(n);
    // The declared size may lie; what counts is what inflation yields.
    if (total_ > limit_) {
      error_ = "part " + quote_part(name_) + " inflates to more than " + size_text(limit_);
      return -1;
    }
    return static_cast<int>(n);
  }

  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  std::uint64_t bytes_read() const { return total_; }
  std::uint64_t declared_size() const { return declared_; }

 private:
  std::string name_;
  std::uint64_t limit_;
  ZipFile file_;
  std::uint64_t declared_ = 0;
  std::uint64_t total_ = 0;
  std::string error_;
};

// Recognises the WordprocessingML namespace (transitional and strict). The
// XML readers intern names, so the namespace seen last is usually the same
// pointer again and is remembered.
class WordNamespace {
 public:
  bool matches(const xmlChar* uri) {
    if (uri == nullptr) return false;
    if (uri == last_) return true;
    if (eq(uri, TRANSITIONAL) || eq(uri, STRICT)) {
      last_ = uri;
      return true;
    }
    return false;
  }

 private:
  static constexpr const char* TRANSITIONAL = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
  static constexpr const char* STRICT = "http://purl.oclc.org/ooxml/wordprocessingml/main";
  const xmlChar* last_ = nullptr;
};

// The message for a libxml2 error while reading `part`, or nullopt for what
// is no error here: warnings, and references to entities declared nowhere
// we read (an external subset is never loaded), which are left out of the
// text. `ctxt` (may be null) tells a part cut short from extra content after
// the document, which libxml2 reports alike.
std::optional<std::string> xml_error_message(const xmlError* err, const xmlParserCtxt* ctxt,
                                             const PartStream& part);

// Throws the PackageError for a failed read of `part`: the part's own read
// error first, then an empty part, then `xml_error` (the first XML error
// recorded, "" for none).
[[noreturn]] void throw_read_error(const PartStream& part, const std::string& xml_error);

// The body blocks of a main document part, in document order.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // False after the last block; throws PackageError as Document::next_block.
  virtual bool next(Block& out) = 0;
};

// A reader of `part`'s body that has read up to its root element. Throws
// PackageError unless the root is w:document. Tables may expand to at most
// `limit` bytes of text. What the body holds that its blocks leave out is
// counted into `loss` as the blocks are read.
std::unique_ptr<BodyReader> open_body(PartStream& part, const Styles& styles, std::uint64_t limit,
                                      conversion_loss::LossReport& loss);

}  // namespace shared::processors::docx_package::detail
