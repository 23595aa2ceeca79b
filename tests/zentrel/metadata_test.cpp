#include "shared/zentrel/metadata.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using shared::Record;
using testing_support::TempDir;
using testing_support::write_bytes;

namespace {
std::string dump_rows(const std::vector<Record>& rows) {
  std::string out;
  for (const Record& r : rows) out += r.dump() + "\n";
  return out;
}
}  // namespace

TEST(LoadMetadata, CsvRowsInFileOrder) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;  // one compact JSON object per row
  };
  const std::vector<Case> cases = {
      {"plain rows, extra columns kept in header order",
       "blob_filename,document_number,url_document_name,owner\nSOP-001,QD-1,https://v/1,Ann\nSOP-002,QD-2,https://v/2,Bo\n",
       "{\"blob_filename\":\"SOP-001\",\"document_number\":\"QD-1\",\"url_document_name\":\"https://v/1\",\"owner\":\"Ann\"}\n"
       "{\"blob_filename\":\"SOP-002\",\"document_number\":\"QD-2\",\"url_document_name\":\"https://v/2\",\"owner\":\"Bo\"}\n"},
      {"quoted fields with commas, doubled quotes and line feeds",
       "blob_filename,document_number\n\"A, B\",\"say \"\"hi\"\"\nnext\"\n",
       "{\"blob_filename\":\"A, B\",\"document_number\":\"say \\\"hi\\\"\\nnext\"}\n"},
      {"CR LF and lone CR read as line feeds, also inside quotes",
       "blob_filename,document_number\r\nX,\"a\r\nb\rc\"\rY,2\r\n",
       "{\"blob_filename\":\"X\",\"document_number\":\"a\\nb\\nc\"}\n{\"blob_filename\":\"Y\",\"document_number\":\"2\"}\n"},
      {"byte-order mark dropped, non-ASCII kept, no trailing line feed",
       "\xEF\xBB\xBF" "blob_filename,document_number\nÄrger – 1,QD-ü",
       "{\"blob_filename\":\"Ärger – 1\",\"document_number\":\"QD-ü\"}\n"},
      {"empty fields are empty strings; short rows lack the missing columns; blank lines skipped",
       "blob_filename,document_number,url_document_name\n\nA,,\nB\n\n",
       "{\"blob_filename\":\"A\",\"document_number\":\"\",\"url_document_name\":\"\"}\n{\"blob_filename\":\"B\"}\n"},
      {"a quote inside an unquoted field is kept; spaces are not trimmed",
       "blob_filename,document_number\n 5\" pipe , x \n",
       "{\"blob_filename\":\" 5\\\" pipe \",\"document_number\":\" x \"}\n"},
      {"header only", "blob_filename,document_number\n", ""},
      {"empty file", "", ""},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const auto path = dir / "meta.csv";
    write_bytes(path, c.bytes);
    EXPECT_EQ(dump_rows(zentrel::metadata::load_metadata(path.string())), c.expected) << c.what;
  }
}

TEST(LoadMetadata, JsonArrayOfObjectsByExtension) {
  TempDir dir;
  const auto path = dir / "Meta.JSON";
  write_bytes(path,
              "[{\"blob_filename\": \"Z\", \"document_number\": 7, \"url_document_name\": null},\r\n"
              " {\"url_document_name\": \"l\", \"blob_filename\": \"A\\nB\"}]");
  EXPECT_EQ(dump_rows(zentrel::metadata::load_metadata(path.string())),
            "{\"blob_filename\":\"Z\",\"document_number\":7,\"url_document_name\":null}\n"
            "{\"url_document_name\":\"l\",\"blob_filename\":\"A\\nB\"}\n");
}

TEST(LoadMetadata, MalformedFilesAreRefusedNamingFileAndLine) {
  TempDir dir;
  struct Case {
    const char* what;
    std::string name;
    std::string bytes;
    std::string message_tail;  // after "metadata file '<path>'"
  };
  const std::vector<Case> cases = {
      {"unclosed quote", "m.csv", "blob_filename\nA\n\"open\nstill open\n", " line 3: quoted field is not closed"},
      {"text after a closing quote", "m.csv", "blob_filename\n\"A\"x\n",
       " line 2: unexpected character after a closing quotation mark"},
      {"too many fields", "m.csv", "blob_filename,document_number\nA,1\n\"B\nb\",2,3\n",
       " line 3: 3 fields, but the header names 2 columns"},
      {"a column named twice", "m.csv", "blob_filename,x,blob_filename\n", " line 1: column 'blob_filename' appears twice in the header"},
      {"not UTF-8", "m.csv", "blob_filename\nA\xFF\n", " is not valid UTF-8 (byte 15)"},
      {"not an array", "m.json", "{\"blob_filename\": \"A\"}", " must hold a JSON array of objects, got object"},
      {"an element that is no object", "m.json", "[{}, 3]", ": element 1 is not an object but number"},
      {"other extension", "m.txt", "blob_filename\n", " must end in .csv or .json"},
  };
  for (const Case& c : cases) {
    const auto path = dir / c.name;
    write_bytes(path, c.bytes);
    try {
      zentrel::metadata::load_metadata(path.string());
      ADD_FAILURE() << c.what << ": no error";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(e.what(), "metadata file '" + path.string() + "'" + c.message_tail) << c.what;
    }
  }
  const auto broken = dir / "broken.json";
  write_bytes(broken, "[{\"a\": ");
  try {
    zentrel::metadata::load_metadata(broken.string());
    ADD_FAILURE() << "invalid JSON accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("metadata file '" + broken.string() + "' is not valid JSON: ", 0), 0u)
        << e.what();
  }
  const std::string missing = (dir / "missing.csv").string();
  try {
    zentrel::metadata::load_metadata(missing);
    ADD_FAILURE() << "missing file accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(e.what(), "cannot read metadata file '" + missing + "'");
  }
}
