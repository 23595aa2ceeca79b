#include "shared/processors/outline.hpp"

#include <gtest/gtest.h>

#include "shared/text/utf8.hpp"

namespace {

namespace outline = shared::processors::outline;

// A stamped SOP as the extraction and stamping stages leave it: metadata
// block, title paragraphs, numbered headings, consecutive paragraphs,
// pipe tables set off by empty lines, a Heading 3 kept as plain text.
const std::string kSop =
    "<!-- METADATA_START -->\n"
    "## Metadata\n"
    "\n"
    "- **Document Name:** Cleaning and Line Clearance of Filling Line 3\n"
    "- **Document Number:** QD-000958\n"
    "- **Veeva Link:** https://vault.example.com/ui/#doc_info/958\n"
    "<!-- METADATA_END -->\n"
    "\n"
    "Standard Operating Procedure\n"
    "Cleaning and Line Clearance of Filling Line 3\n"
    "# 1 Purpose\n"
    "This procedure describes the cleaning of filling line 3 after each batch and at product changeover. "
    "It makes sure that residues of the previous product, e.g. active substances and detergents, are removed "
    "before the next batch starts. Cleaning is verified by visual inspection and swab sampling.\n"
    "# 2 Scope\n"
    "## 2.1 Applicability\n"
    "The procedure applies to all non-sterile liquid products filled on line 3 in building B12.\n"
    "## 2.2 Exclusions\n"
    "\n"
    "| Activity | Covered by |\n"
    "| --- | --- |\n"
    "| Shutdown maintenance | QD-000412 |\n"
    "\n"
    "# 3 Responsibilities\n"
    "The production supervisor ensures that only trained operators clean the line. Operators perform the "
    "cleaning and record each step in the logbook. Quality Assurance reviews the cleaning record! Who releases "
    "the line? QA releases the line after a successful inspection. Records are kept for ten years.\n"
    "# 4 Procedure\n"
    "## 4.1 Preparation\n"
    "Stop the line and lock out the main power supply according to QD-000101 before any cleaning activity "
    "starts on the filling needles, the product hoses, the buffer tank and the stopper bowl of line 3.\n"
    "Collect the cleaning kit.\n"
    "## 4.2 Cleaning\n"
    "Cleaning steps\n"
    "Rinse all product contact parts with purified water at approx. 60 \u00b0C for 10 min. Apply the "
    "detergent\u00a0\u00a0and let it act.\n"
    "\n"
    "| Step | Agent | Time |\n"
    "| --- | --- | --- |\n"
    "| 1 | Water | 10 min |\n"
    "\n"
    "Rinse again until the conductivity is below 5 \u00b5S/cm.\n"
    "# 5 References";

TEST(Outline, RealisticSopKeepsEveryHeadingWithLeadingSentences) {
  const std::string expected =
      "## Metadata\n"
      "- **Document Name:** Cleaning and Line Clearance of Filling Line 3\n"
      "- **Document Number:** QD-000958\n"
      "- **Veeva Link:** https://vault.example.com/ui/#doc_info/958\n"
      "- Standard Operating Procedure\n"
      "- Cleaning and Line Clearance of Filling Line 3\n"
      "\n"
      "# 1 Purpose\n"
      "- This procedure describes the cleaning of filling line 3 after each batch and at product changeover.\n"
      "- It makes sure that residues of the previous product, e.g. active substances and detergents, are removed "
      "before the next batch starts.\n"
      "- Cleaning is verified by visual inspection and swab sampling.\n"
      "\n"
      "# 2 Scope\n"
      "\n"
      "## 2.1 Applicability\n"
      "- The procedure applies to all non-sterile liquid products filled on line 3 in building B12.\n"
      "\n"
      "## 2.2 Exclusions\n"
      "\n"
      "# 3 Responsibilities\n"
      "- The production supervisor ensures that only trained operators clean the line.\n"
      "- Operators perform the cleaning and record each step in the logbook.\n"
      "- Quality Assurance reviews the cleaning record!\n"
      "- Who releases the line?\n"
      "- QA releases the line after a successful inspection.\n"
      "\n"
      "# 4 Procedure\n"
      "\n"
      "## 4.1 Preparation\n"
      "- Stop the line and lock out the main power supply according to QD-000101 before any cleaning activity "
      "starts on the filling needles, the product hoses, the\u2026\n"
      "- Collect the cleaning kit.\n"
      "\n"
      "## 4.2 Cleaning\n"
      "- Cleaning steps\n"
      "- Rinse all product contact parts with purified water at approx. 60 \u00b0C for 10 min.\n"
      "- Apply the detergent and let it act.\n"
      "- Rinse again until the conductivity is below 5 \u00b5S/cm.\n"
      "\n"
      "# 5 References";
  EXPECT_EQ(outline::outline_summary(kSop), expected);
  // The same text gives the same bytes.
  EXPECT_EQ(outline::outline_summary(kSop), outline::outline_summary(kSop));
  // Nothing of the metadata markers or the tables reaches the outline.
  const std::string out = outline::outline_summary(kSop);
  EXPECT_EQ(out.find("<!--"), std::string::npos);
  EXPECT_EQ(out.find('|'), std::string::npos);
  EXPECT_TRUE(outline::dropped_headings(kSop, out).empty());
  EXPECT_EQ(outline::count_outline_headings(out), 10u);
}

TEST(Outline, BulletCountAndLength) {
  struct Case {
    std::string name, section;
    std::size_t bullets;
  };
  const std::string sentence40 = "Operators must follow this rule always.";  // 39 characters
  const std::string sentence150 = "Operators " + std::string(139, 'w') + ".";
  std::string nine, wide, many_short;
  for (int i = 0; i < 9; ++i) nine += sentence40 + " ";
  for (int i = 0; i < 5; ++i) wide += sentence150 + " ";
  for (int i = 0; i < 4; ++i) many_short += "Step " + std::string(1, static_cast<char>('A' + i)) + ". ";
  const std::string long_sentence(400, 'X');
  const std::vector<Case> cases = {
      {"one sentence", "Only one.", 1},
      {"never more than five", nine, 5},
      {"no third bullet once past the budget", wide, 3},
      {"two long sentences pass the budget", long_sentence + ". " + long_sentence + ". " + long_sentence + ".", 2},
      {"short sentences up to five", many_short + many_short, 5},
      {"table only", "| a | b |\n| --- | --- |", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = outline::outline_summary("# H\n" + c.section);
    std::size_t bullets = 0;
    std::size_t pos = 0;
    while ((pos = out.find("\n- ", pos)) != std::string::npos) {
      ++bullets;
      const std::size_t end = out.find('\n', pos + 1);
      const std::string bullet = out.substr(pos + 3, end == std::string::npos ? std::string::npos : end - pos - 3);
      EXPECT_LE(shared::text::count_code_points(bullet), outline::MAX_BULLET_CHARS);
      ++pos;
    }
    EXPECT_EQ(bullets, c.bullets) << out;
    EXPECT_EQ(out.substr(0, 3), "# H");
  }
}

TEST(Outline, EdgeDocuments) {
  struct Case {
    std::string name, in, out;
  };
  const std::vector<Case> cases = {
      {"empty", "", ""},
      {"blank lines only", "\n \n\t\n", ""},
      {"no headings", "Plain text. More text.", "- Plain text.\n- More text."},
      {"crlf line ends", "# A\r\nText.\r\n## B\r\n", "# A\n- Text.\n\n## B"},
      {"heading 3 is no outline heading", "# A\n### A.1 Deep\nBody.", "# A\n- Body."},
      {"heading kept exactly", "#  Two  spaces \nx", "#  Two  spaces \n- x"},
      {"hash without blank is text", "#hashtag line\n# Real", "# Real"},
      {"list markers", "# A\n* star item\n+ plus item\n\u2022 dot item", "# A\n- star item\n- plus item\n- dot item"},
      {"code fences skipped", "# A\n```\ncode\n```", "# A\n- code"},
  };
  for (const Case& c : cases) EXPECT_EQ(outline::outline_summary(c.in), c.out) << c.name;
}

TEST(Outline, SentenceSplitting) {
  struct Case {
    std::string line;
    std::vector<std::string> sentences;
  };
  const std::vector<Case> cases = {
      {"One. Two! Three? Four", {"One.", "Two!", "Three?", "Four"}},
      {"See e.g. The annex. Next.", {"See e.g. The annex.", "Next."}},
      {"Heat to approx. 60 \u00b0C. Then stop.", {"Heat to approx. 60 \u00b0C.", "Then stop."}},
      {"Version 1.2 is valid. It replaces 1.1.", {"Version 1.2 is valid.", "It replaces 1.1."}},
      {"Call QA (\"now.\") Then wait.", {"Call QA (\"now.\")", "Then wait."}},
      {"  - spaced \t  out   text.  ", {"spaced out text."}},
      {"Ends with dot.", {"Ends with dot."}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(outline::sentences(c.line), c.sentences) << c.line;
}

TEST(HeadingCheck, NamesEveryDroppedHeading) {
  struct Case {
    std::string name, summary;
    std::vector<std::string> dropped;
  };
  const std::string document = "# 1 Purpose\ntext\n## 1.1 Scope  \n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps\n"
                               "## 2.1 Steps\n### 2.1.1 Deep\n#NoSpace";
  const std::vector<Case> cases = {
      {"all kept", "# 1 Purpose\n## 1.1 Scope\n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps\n## 2.1 Steps", {}},
      {"one dropped", "# 1 Purpose\n## 1.1 Scope\n# 2 Procedure\n## 2.1 Steps\n## 2.1 Steps", {"## 1.2 Terms"}},
      {"duplicate counted", "# 1 Purpose\n## 1.1 Scope\n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps",
       {"## 2.1 Steps"}},
      {"whitespace runs ignored", "# 1  Purpose\n##  1.1 Scope\n## 1.2\tTerms\n# 2 Procedure \n## 2.1 Steps\n## 2.1 Steps",
       {}},
      {"level change is a drop", "# 1 Purpose\n# 1.1 Scope\n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps\n## 2.1 Steps",
       {"## 1.1 Scope"}},
      {"bold is a drop", "# 1 Purpose\n## **1.1 Scope**\n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps\n## 2.1 Steps",
       {"## 1.1 Scope"}},
      {"empty summary", "", {"# 1 Purpose", "## 1.1 Scope", "## 1.2 Terms", "# 2 Procedure", "## 2.1 Steps",
                             "## 2.1 Steps"}},
  };
  for (const Case& c : cases) EXPECT_EQ(outline::dropped_headings(document, c.summary), c.dropped) << c.name;
  EXPECT_EQ(outline::count_outline_headings(document), 6u);
  EXPECT_EQ(outline::dropped_headings_message({"## 1.2 Terms", "# 2 Procedure"}, 6),
            "Summary dropped 2 of 6 document headings: '## 1.2 Terms', '# 2 Procedure'");
}

}  // namespace
