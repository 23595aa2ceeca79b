// The kesto stamp, sections and enrich subcommands, run as programs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/testing.hpp"

using testing_support::read_bytes;
using testing_support::run_command;
using testing_support::TempDir;
using testing_support::write_bytes;

namespace {

const std::string BLOCK =
    "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Reinigung «A»\n- **Document Number:** QD-7\n"
    "- **Veeva Link:** https://v/7\n<!-- METADATA_END -->\n\n";

struct Files {
  TempDir tmp;
  std::string kesto = (testing_support::binary_dir() / "kesto").string();
  std::string doc = (tmp / "doc.json").string();
  std::string md = (tmp / "in.md").string();

  Files() {
    write_bytes(doc,
                "{\"blob_filename\": \"SOP-7.docx\", \"document_name\": \"Reinigung «A»\", "
                "\"document_number\": \"QD-7\", \"url_document_name\": \"https://v/7\"}");
    write_bytes(md, "Intro\n# 1 Zweck\ntext\n## 1.1 Umfang\r\nmore\n");
  }
  std::string in(const std::string& name) const { return "'" + (tmp / name).string() + "'"; }
};

}  // namespace

TEST(MarkdownCommands, StampSectionsEnrichExactOutput) {
  Files f;
  std::string out;
  ASSERT_EQ(run_command("'" + f.kesto + "' stamp --doc '" + f.doc + "' '" + f.md + "' > " + f.in("stamped.md")), 0);
  EXPECT_EQ(read_bytes(f.tmp / "stamped.md"), BLOCK + "Intro\n# 1 Zweck\ntext\n## 1.1 Umfang\r\nmore\n");

  ASSERT_EQ(run_command("'" + f.kesto + "' sections --doc '" + f.doc + "' < " + f.in("stamped.md") + " > " +
                        f.in("s.json")),
            0);
  EXPECT_EQ(read_bytes(f.tmp / "s.json"),
            "{\n"
            "  \"qd\": \"QD-7\",\n"
            "  \"document\": \"SOP-7\",\n"
            "  \"link\": \"https://v/7\",\n"
            "  \"sections\": {\n"
            "    \"SOP-7::Metadata\": \"## Metadata\\n\\n- **Document Name:** Reinigung «A»\\n- **Document Number:** "
            "QD-7\\n- **Veeva Link:** https://v/7\\n<!-- METADATA_END -->\\n\\nIntro\",\n"
            "    \"SOP-7::1 Zweck\": \"# 1 Zweck\\ntext\\n\\n## 1.1 Umfang\\r\\nmore\",\n"
            "    \"SOP-7::1.1 Umfang\": \"## 1.1 Umfang\\r\\nmore\"\n"
            "  }\n"
            "}");

  ASSERT_EQ(run_command("'" + f.kesto + "' enrich " + f.in("s.json"), &out), 0);
  EXPECT_EQ(out,
            "{\n"
            "  \"qd-number\": \"QD-7\",\n"
            "  \"doc_name\": \"SOP-7\",\n"
            "  \"link\": \"https://v/7\",\n"
            "  \"enriched\": {\n"
            "    \"SOP-7::Metadata\": \"In document SOP-7.\\n\\n## Metadata\\n\\n- **Document Name:** Reinigung «A»\\n- "
            "**Document Number:** QD-7\\n- **Veeva Link:** https://v/7\\n<!-- METADATA_END -->\\n\\nIntro\",\n"
            "    \"SOP-7::1 Zweck\": \"In document SOP-7.\\n\\n# 1 Zweck\\ntext\\n\\n## 1.1 Umfang\\r\\nmore\",\n"
            "    \"SOP-7::1.1 Umfang\": \"In document SOP-7, under 1 Zweck.\\n\\n## 1.1 Umfang\\r\\nmore\"\n"
            "  }\n"
            "}");

  out.clear();
  ASSERT_EQ(run_command("'" + f.kesto + "' sections --exclude-metadata --doc '" + f.doc + "' " + f.in("stamped.md"), &out),
            0);
  EXPECT_EQ(out.find("Metadata"), std::string::npos) << out;
  EXPECT_NE(out.find("\"SOP-7::1 Zweck\""), std::string::npos) << out;

  // Standard input and a file give the same bytes.
  std::string from_stdin, from_file;
  ASSERT_EQ(run_command("'" + f.kesto + "' enrich < " + f.in("s.json"), &from_stdin), 0);
  ASSERT_EQ(run_command("'" + f.kesto + "' enrich - < " + f.in("s.json"), &from_file), 0);
  EXPECT_EQ(from_stdin, from_file);
}

TEST(MarkdownCommands, BadInputFailsWithNothingOnStandardOutput) {
  Files f;
  write_bytes(f.tmp / "array.json", "[1]");
  write_bytes(f.tmp / "bad.md", "# A\n\xFF");
  write_bytes(f.tmp / "nosep.json", "{\"document\": \"D\", \"sections\": {\"D:1 A\": \"a\"}}");
  write_bytes(f.tmp / "empty.json", "{\"sections\": {\"D:: \": \"a\"}}");
  write_bytes(f.tmp / "broken.json", "{\"sections\": ");
  write_bytes(f.tmp / "nullname.json", "{\"blob_filename\": null}");
  const std::string k = "'" + f.kesto + "' ";
  struct Case {
    std::string command;
    int status;
    std::string stderr_text;
  };
  const std::vector<Case> cases = {
      {k + "stamp " + f.in("in.md"), 2, "kesto stamp: error: --doc DOC.json is required\n"},
      {k + "stamp --doc " + f.in("array.json") + " " + f.in("in.md"), 1,
       "kesto stamp: error: the document record '" + (f.tmp / "array.json").string() +
           "' must be a JSON object, got array\n"},
      {k + "stamp --doc " + f.in("doc.json") + " < " + f.in("bad.md"), 1,
       "kesto stamp: error: standard input is not valid UTF-8 (byte 4)\n"},
      {k + "sections --doc " + f.in("doc.json") + " " + f.in("bad.md"), 1,
       "kesto sections: error: '" + (f.tmp / "bad.md").string() + "' is not valid UTF-8 (byte 4)\n"},
      {k + "sections --doc " + f.in("nullname.json") + " " + f.in("in.md"), 1,
       "kesto sections: error: blob_filename must be a string, got null\n"},
      {k + "sections --doc " + f.in("doc.json") + " " + f.in("in.md") + " extra", 2,
       "kesto sections: error: unexpected argument 'extra' (see --help)\n"},
      {k + "enrich " + f.in("array.json"), 1, "kesto enrich: error: sections_json must be a JSON object, got array\n"},
      {k + "enrich " + f.in("nosep.json"), 1,
       "kesto enrich: error: section key 'D:1 A' has no '::' between document name and heading\n"},
      {k + "enrich " + f.in("empty.json"), 1, "kesto enrich: error: section key 'D:: ' has an empty heading\n"},
      {k + "enrich " + f.in("missing.json"), 1,
       "kesto enrich: error: cannot read '" + (f.tmp / "missing.json").string() + "'\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run_command(c.command + " > " + f.in("out") + " 2> " + f.in("err")), c.status) << c.command;
    EXPECT_EQ(read_bytes(f.tmp / "out"), "") << c.command;
    EXPECT_EQ(read_bytes(f.tmp / "err"), c.stderr_text) << c.command;
  }
  std::string err;
  EXPECT_EQ(run_command(k + "enrich " + f.in("broken.json") + " 2>&1", &err), 1);
  EXPECT_EQ(err.rfind("kesto enrich: error: '" + (f.tmp / "broken.json").string() + "' is not valid JSON: ", 0), 0u)
      << err;
}
