// Questions asked of a real index table: full text, embeddings from the fake
// model service, their fusion, and what hostile questions get.
#include "shared/retrieval.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "connectors/index_testing.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/errors.hpp"
#include "shared/processors/sectioner.hpp"
#include "shared/processors/stamper.hpp"
#include "support/testing.hpp"

namespace retrieval = shared::retrieval;
namespace vector_db = shared::connectors::vector_db;
using retrieval::Mode;

namespace {

class Retrieval : public index_testing::IndexTest {
 protected:
  void index_samples() {
    ASSERT_TRUE(index("QD-000958", "Plant SOP",
                      {{"1 Purpose", "## 1 Purpose\nThis procedure describes how production rooms are kept fit for use."},
                       {"2 Cleaning", "## 2 Cleaning\nRooms are prepared before each campaign."},
                       {"2.1 Agents", "### 2.1 Agents\nUse the approved detergent at the stated concentration."},
                       {"3 Inspection", "### 3 Inspection\nThe supervisor checks the surfaces visually."},
                       {"4 Records", "## 4 Records\nThe logbook entry is signed by the operator. Café area excluded."}})
                    .success);
    ASSERT_TRUE(index("QD-001204", "Release SOP",
                      {{"1 Purpose", "## 1 Purpose\nBatch records are reviewed before release."},
                       {"2 Review", "## 2 Review\nQA checks every signature and the detergent lot numbers."}})
                    .success);
  }
  // Indexes Markdown as the pipeline does: stamped, cut into sections (a
  // parent's text holding its sub-sections'), enriched.
  void index_markdown(const std::string& qd, const std::string& name, const std::string& title,
                      const std::string& markdown) {
    namespace processors = shared::processors;
    const std::string stamped =
        processors::stamper::compose_metadata_block(title, qd, "https://veeva.example/" + qd) + markdown;
    shared::Record raw = {{"qd", qd}, {"document", name}, {"link", "https://veeva.example/" + qd}};
    raw["sections"] = processors::sectioner::split_markdown_hierarchical(stamped, name).take_record();
    shared::Record context = {{"enriched_json", processors::enricher::enrich_sections(raw)}};
    processors::indexer::IndexingStage stage;
    ASSERT_TRUE(stage.run(shared::Record{{"id", qd}, {"document_number", qd}}, context).success);
  }
  // A cleaning SOP with a parent section and two sub-sections, and a review
  // SOP of many steps that all say "must" and "use".
  void index_sops() {
    index_markdown("QD-000958", "SOP QD-000958 Cleaning Validation", "Cleaning Validation of Manufacturing Equipment",
                   "# 1 Purpose\nThis procedure describes how cleaning validation is carried out.\n\n"
                   "# 2 Responsibilities\nThe Head of Production owns this procedure.\n\n"
                   "# 3 Procedure\nEach step is recorded.\n\n"
                   "## 3.1 Preparation\nCollect the cleaning agent and the swab kit. Label every swab with its "
                   "sampling point.\n\n"
                   "## 3.2 Execution\nSwab each sampling point over 25 cm². Keep the rinse sample.\n\n"
                   "# 6 Limits and excursions\nEvery limit must be met; each excursion opens a deviation.\n\n"
                   "## 6.1 Limits\nThe residue limit is 10 µg per swab and the rinse limit 25 µg.\n\n"
                   "## 6.2 Excursions\nAn excursion above the rinse limit is reported to QA within one day.\n");
    std::string steps;
    for (int i = 1; i <= 12; ++i) {
      steps += "# " + std::to_string(i) + " Step " + std::to_string(i) + "\nOperators must use form F" +
               std::to_string(i) + " and sign page " + std::to_string(i) + ".\n\n";
    }
    index_markdown("QD-001204", "SOP QD-001204 Batch Record Review", "Review of Executed Batch Records", steps);
  }
  std::vector<std::string> keys(const retrieval::Answer& a) const {
    std::vector<std::string> out;
    for (const auto& h : a.hits) out.push_back(h.section_key);
    return out;
  }
  retrieval::Answer ask(const std::string& text, Mode mode = Mode::lexical, std::string qd = {}, std::size_t k = 10) {
    return retrieval::search(retrieval::Query{.text = text, .k = k, .qd_number = std::move(qd), .mode = mode});
  }
};

}  // namespace

TEST_F(Retrieval, FindsTheSectionAQuestionWasWrittenFrom) {
  index_samples();
  const struct {
    std::string question, key;
  } cases[] = {
      {"which detergent concentration is approved", "Plant SOP::2.1 Agents"},
      {"who signs the logbook entry", "Plant SOP::4 Records"},
      {"are batch records reviewed before release", "Release SOP::1 Purpose"},
      {"\"checks the surfaces\"", "Plant SOP::3 Inspection"},
  };
  for (const auto& c : cases) {
    const retrieval::Answer a = ask(c.question);
    ASSERT_FALSE(a.hits.empty()) << c.question;
    EXPECT_EQ(a.hits[0].section_key, c.key) << c.question;
    EXPECT_EQ(a.hits[0].rank, 1u);
    EXPECT_GT(a.hits[0].score, 0.0);
  }
  const retrieval::Answer a = ask("approved detergent");
  ASSERT_FALSE(a.hits.empty());
  EXPECT_EQ(a.hits[0].qd_number, "QD-000958");
  EXPECT_EQ(a.hits[0].document_name, "Plant SOP");
  EXPECT_EQ(a.hits[0].link, "https://veeva.example/QD-000958");
  EXPECT_NE(a.hits[0].snippet.find("**approved** **detergent**"), std::string::npos) << a.hits[0].snippet;
  EXPECT_EQ(a.hits[0].text, "In document Plant SOP, under 2 Cleaning.\n\n### 2.1 Agents\nUse the approved detergent "
                            "at the stated concentration.");
}

TEST_F(Retrieval, TheHeadingContextLiftsASectionAboveOneWithout) {
  index_samples();
  // Both sections name the detergent; only 2.1 sits under "2 Cleaning", which
  // its context prefix says.
  const std::vector<std::string> got = keys(ask("cleaning detergent"));
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], "Plant SOP::2.1 Agents");
  const auto review = std::find(got.begin(), got.end(), "Release SOP::2 Review");
  ASSERT_NE(review, got.end());
  // Without a context prefix the two would tie on the one shared word.
  EXPECT_GT(review - got.begin(), 0);
}

TEST_F(Retrieval, TheDocumentFilterIgnoresCase) {
  index_samples();
  EXPECT_EQ(keys(ask("detergent", Mode::lexical, "qd-001204")), (std::vector<std::string>{"Release SOP::2 Review"}));
  const retrieval::Answer h = ask("detergent", Mode::hybrid, "QD-001204");
  ASSERT_FALSE(h.hits.empty());
  EXPECT_EQ(h.hits[0].section_key, "Release SOP::2 Review");
  for (const auto& hit : h.hits) EXPECT_EQ(hit.qd_number, "QD-001204") << hit.section_key;
  EXPECT_TRUE(ask("detergent", Mode::lexical, "QD-9").hits.empty());
  EXPECT_EQ(ask("detergent", Mode::lexical, {}, 1).hits.size(), 1u);
}

TEST_F(Retrieval, HostileQuestionsAreOnlyText) {
  index_samples();
  const std::string questions[] = {
      "'; DROP TABLE " + table_ + "; --",
      "\"unterminated phrase",
      "detergent & | ! ( ) :* <-> \\ %s $1 ?",
      "-detergent OR",
      "::regconfig",
      "日本語の質問",
      "ÅÄÖ  \t\n",
      "OR OR OR",
      "\"\"",
  };
  for (const std::string& q : questions) {
    for (Mode mode : {Mode::lexical, Mode::hybrid}) {
      EXPECT_NO_THROW(ask(q, mode)) << q;
    }
  }
  // The table is still there and whole.
  EXPECT_EQ(pg_testing::query(db(), "SELECT count(*) AS n FROM " + table_)[0]["n"], 7);
  // Accents fold both ways, and operators keep their meaning.
  EXPECT_EQ(keys(ask("cafe")), (std::vector<std::string>{"Plant SOP::4 Records"}));
  EXPECT_EQ(keys(ask("detergent -review")),
            (std::vector<std::string>{"Plant SOP::2.1 Agents"}));
}

TEST_F(Retrieval, AnEmptyIndexAnswersNothing) {
  for (Mode mode : {Mode::automatic, Mode::lexical, Mode::vector, Mode::hybrid}) {
    const retrieval::Answer a = ask("cleaning", mode);
    EXPECT_TRUE(a.hits.empty()) << retrieval::mode_name(mode);
  }
  // Nothing to compare with: the question is not sent to the model.
  EXPECT_EQ(embedding_requests(), 0u);
}

TEST_F(Retrieval, VectorAndHybridFindWhatSharesNoWordWithTheQuestion) {
  index_samples();
  const std::size_t before = embedding_requests();
  // "sanitise" and "disinfect" appear in no section; the stand-in model puts
  // them on the cleaning axis.
  EXPECT_TRUE(ask("how do we sanitise", Mode::lexical).hits.empty());
  const retrieval::Answer v = ask("how do we sanitise", Mode::vector, {}, 2);
  EXPECT_EQ(v.mode, Mode::vector);
  EXPECT_EQ(keys(v), (std::vector<std::string>{"Plant SOP::2 Cleaning", "Plant SOP::2.1 Agents"}));
  const retrieval::Answer h = ask("disinfect surfaces", Mode::automatic, {}, 3);
  EXPECT_EQ(h.mode, Mode::hybrid);
  ASSERT_EQ(h.hits.size(), 3u);
  // Only the inspection section holds a word of the question ("surfaces");
  // it is fourth by vector, behind the two cleaning sections and a tie.
  EXPECT_EQ(h.hits[0].section_key, "Plant SOP::3 Inspection");
  EXPECT_NEAR(h.hits[0].score, 1.0 / 61 + 1.0 / 64, 1e-9);
  EXPECT_EQ(embedding_requests(), before + 2);
}

TEST_F(Retrieval, WithoutAnEmbeddingModelSearchIsLexical) {
  index_samples();
  use_embeddings(false);
  EXPECT_EQ(ask("detergent", Mode::automatic).mode, Mode::lexical);
  EXPECT_THROW(ask("detergent", Mode::vector), shared::ValueError);
  EXPECT_THROW(ask("detergent", Mode::hybrid), shared::ValueError);
  EXPECT_THROW(ask("  ", Mode::lexical), shared::ValueError);
}

TEST_F(Retrieval, TheSearcherSeesChangesToTheIndex) {
  index_samples();
  retrieval::Searcher searcher;
  const retrieval::Query q{.text = "how do we sanitise", .k = 10, .qd_number = "", .mode = Mode::vector};
  EXPECT_EQ(searcher.search(q).hits.size(), 7u);
  ASSERT_TRUE(index("QD-002317", "Wipe SOP", {{"1 Wiping", "## 1 Wiping\nWipe all benches."}}).success);
  EXPECT_EQ(searcher.search(q).hits.size(), 8u);
  vector_db::delete_document_sections("QD-000958");
  const retrieval::Answer after = searcher.search(q);
  ASSERT_EQ(after.hits.size(), 3u);
  EXPECT_EQ(after.hits[0].section_key, "Wipe SOP::1 Wiping");
}

TEST_F(Retrieval, TheTextSearchConfigurationIsASetting) {
  index_samples();
  EXPECT_EQ(keys(ask("supervisors")), (std::vector<std::string>{"Plant SOP::3 Inspection"}));  // english stems
  use_embeddings(true, "simple");
  EXPECT_TRUE(ask("supervisors").hits.empty());
  EXPECT_EQ(keys(ask("supervisor")), (std::vector<std::string>{"Plant SOP::3 Inspection"}));
  use_embeddings(true, "klingon");
  EXPECT_THROW(ask("supervisor", Mode::lexical), shared::ValueError);
}

TEST_F(Retrieval, AnOlderTableIsUpgradedInPlaceOnFirstUse) {
  // The table as the pipeline made it before it could be searched.
  pg_testing::exec(db(), "CREATE TABLE " + table_ +
                             " (qd_number text NOT NULL, section_key text NOT NULL, section_index integer NOT NULL,"
                             " document_name text NOT NULL DEFAULT '', link text NOT NULL DEFAULT '',"
                             " enriched_text text NOT NULL, embedding real[],"
                             " indexed_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (qd_number, section_key))");
  pg_testing::exec(db(), "INSERT INTO " + table_ +
                             " (qd_number, section_key, section_index, enriched_text, embedding) VALUES"
                             " ('QD-7', 'Old::1 Scope', 0, 'In document Old.\n\n## 1 Scope\nGowning rules.', '{1,0}')");
  // A parent section and its sub-section, as the pipeline stored them.
  pg_testing::exec(db(), "INSERT INTO " + table_ +
                             " (qd_number, section_key, section_index, document_name, enriched_text) VALUES"
                             " ('QD-7', 'Old::2 Gloves', 1, 'Old', 'In document Old.\n\n## 2 Gloves\nWorn always."
                             "\n\n### 2.1 Changes\nChange gloves hourly.'),"
                             " ('QD-7', 'Old::2.1 Changes', 2, 'Old', 'In document Old, under 2 Gloves.\n\n"
                             "### 2.1 Changes\nChange gloves hourly.')");
  const retrieval::Answer a = ask("gowning");
  EXPECT_EQ(keys(a), (std::vector<std::string>{"Old::1 Scope"}));
  EXPECT_EQ(keys(ask("how often are gloves changed")), (std::vector<std::string>{"Old::2.1 Changes", "Old::2 Gloves"}));
  const auto rows = vector_db::get_document_sections("QD-7");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["content_sha256"], vector_db::sha256_hex("In document Old.\n\n## 1 Scope\nGowning rules."));
  EXPECT_EQ(rows[0]["enriched_text"], "In document Old.\n\n## 1 Scope\nGowning rules.");
  const auto own = pg_testing::query(db(), "SELECT own_text FROM " + table_ + " WHERE section_key = 'Old::2 Gloves'");
  EXPECT_EQ(own.at(0)["own_text"], "## 2 Gloves\nWorn always.");
  // A vector of an unknown deployment is never compared with a question.
  EXPECT_TRUE(ask("gowning", Mode::vector).hits.empty());
}

TEST_F(Retrieval, AnOlderTablesRowsAreFilledInTransactionsOfTheirOwn) {
  namespace pg = shared::connectors::pg;
  // The table as the version before rank fields left it: 1,201 rows, more
  // than two fills' worth, with that version's vectors and comment.
  const std::string fold =
      pg_testing::query(db(), "SELECT coalesce((SELECT n.nspname || '.unaccent' FROM pg_extension e JOIN pg_namespace n"
                              " ON n.oid = e.extnamespace WHERE e.extname = 'unaccent'), '') AS f")
          .at(0)["f"]
          .get<std::string>();
  auto folded = [&](const std::string& e) { return fold.empty() ? e : fold + "(" + e + ")"; };
  pg_testing::exec(db(), "CREATE TABLE " + table_ +
                             " (qd_number text NOT NULL, section_key text NOT NULL, section_index integer NOT NULL,"
                             " document_name text NOT NULL DEFAULT '', link text NOT NULL DEFAULT '',"
                             " enriched_text text NOT NULL, embedding real[],"
                             " indexed_at timestamptz NOT NULL DEFAULT now(), content_sha256 text,"
                             " embedding_model text, search_vector tsvector, PRIMARY KEY (qd_number, section_key))");
  pg_testing::exec(db(), "INSERT INTO " + table_ +
                             " (qd_number, section_key, section_index, document_name, enriched_text)"
                             " SELECT 'QD-' || i / 10, 'Doc' || i / 10 || '::' || i || ' Step', mod(i, 10),"
                             " 'Doc' || i / 10, 'In document Doc' || i / 10 || '.' || chr(10) || chr(10) ||"
                             " '## ' || i || ' Step' || chr(10) || 'Gowning rule r' || i || '.'"
                             " FROM generate_series(1, 1201) AS i");
  pg_testing::exec(db(), "UPDATE " + table_ +
                             " SET content_sha256 = encode(sha256(convert_to(enriched_text, 'UTF8')), 'hex'),"
                             " search_vector = setweight(to_tsvector('english', " +
                             folded("substr(section_key, strpos(section_key, '::') + 2)") +
                             "), 'A') || to_tsvector('english', " + folded("enriched_text") + ")");
  pg_testing::exec(db(), "COMMENT ON COLUMN " + table_ + ".search_vector IS 'kesto full text: english" +
                             (fold.empty() ? "" : " " + fold) + "'");
  auto unfilled = [&] {
    return pg_testing::query(db(), "SELECT count(*)::integer AS n FROM " + table_ + " WHERE own_text IS NULL")
        .at(0)["n"]
        .get<int>();
  };

  {
    // Another process is filling the rows.
    pg::PgConn other = pg_testing::connect_db(db());
    ASSERT_TRUE(pg::try_advisory_lock(other.get(), "kesto.vector_db:" + table_ + ":fill"));
    // A write that fails keeps the upgrade it made first.
    const vector_db::Embed refuse = [](const std::string&) -> std::optional<std::vector<double>> {
      throw shared::ValueError("no embeddings today");
    };
    EXPECT_THROW(vector_db::sync_document_sections(
                     "QD-9999", "New", "", {{.key = "New::1 Scope", .text = "## 1 Scope\nNew.", .embedding = {}}},
                     refuse, "emb-test"),
                 shared::ValueError);
    EXPECT_EQ(unfilled(), 1201);
    // A search neither waits for the fill nor does it, and finds the rows
    // not yet filled by their text.
    EXPECT_EQ(keys(ask("r77")), (std::vector<std::string>{"Doc7::77 Step"}));
    EXPECT_EQ(unfilled(), 1201);
    pg::advisory_unlock(other.get(), "kesto.vector_db:" + table_ + ":fill");
  }
  // The next search fills every row first.
  EXPECT_EQ(keys(ask("r77 gowning", Mode::lexical, {}, 1)), (std::vector<std::string>{"Doc7::77 Step"}));
  EXPECT_EQ(unfilled(), 0);
  EXPECT_EQ(pg_testing::query(db(), "SELECT own_text, context_text FROM " + table_ +
                                        " WHERE section_key = 'Doc7::77 Step'")
                .at(0),
            (shared::Record{{"own_text", "## 77 Step\nGowning rule r77."}, {"context_text", "Doc7"}}));
  // The word counts are those of the vectors as they are now.
  EXPECT_EQ(pg_testing::query(db(), "SELECT lexeme, sections FROM " + table_ +
                                        "_terms WHERE sections <> 0 ORDER BY lexeme"),
            pg_testing::query(db(), "SELECT e AS lexeme, count(*)::integer AS sections FROM " + table_ +
                                        ", unnest(tsvector_to_array(search_vector)) AS e GROUP BY e"
                                        " UNION ALL SELECT '', count(*)::integer FROM " + table_ + " ORDER BY lexeme"));
}

TEST_F(Retrieval, QuestionsPastTheBoundsAreRefusedBeforeTheDatabase) {
  index_samples();
  const std::size_t before = embedding_requests();
  const std::string phrases = [] {
    std::string q;
    for (int i = 0; i < 4000; ++i) q += "\"rooms are\" ";
    return q;
  }();
  const std::string refused[] = {
      phrases,                             // thousands of phrases
      "\"" + std::string(100000, 'x') + "\"",  // one phrase of 100 KB
      [] {
        std::string q;
        for (int i = 0; i < 15000; ++i) q += "-w ";
        return q;
      }(),
      std::string(1001, 'a'),
      "rooms \xff",
      "",
  };
  for (const std::string& q : refused) {
    for (Mode mode : {Mode::lexical, Mode::vector, Mode::hybrid}) {
      EXPECT_THROW(ask(q, mode), shared::ValueError) << q.substr(0, 40);
    }
  }
  EXPECT_EQ(embedding_requests(), before);
  // At the bounds a question is still asked.
  EXPECT_NO_THROW(ask(std::string(1000, 'a'), Mode::lexical));
  std::string hundred_words = "rooms";
  for (int i = 1; i < 100; ++i) hundred_words += " w";
  EXPECT_FALSE(keys(ask(hundred_words)).empty());
}

TEST_F(Retrieval, TheDocumentFilterTakesOnlyAQdNumber) {
  index_samples();
  EXPECT_EQ(keys(ask("detergent", Mode::lexical, " qd-001204 ")), (std::vector<std::string>{"Release SOP::2 Review"}));
  for (const std::string qd : {"QD-", "%", "_", " ", "QD-001204%"}) {
    EXPECT_THROW(ask("detergent", Mode::lexical, qd), shared::ValueError) << qd;
  }
}

TEST_F(Retrieval, AStatementNeverOutlivesTheSearchTimeout) {
  index_samples();
  shared::config::Settings s = shared::config::get();
  s.SEARCH_TIMEOUT_S = 1;
  testing_support::ScopedSettings scoped(s);
  // Another session holds the index table: a search waits on it, as it would
  // on any statement that runs long. Should the search not be bounded, the
  // holder lets go after a while and the search answers instead of failing.
  auto holder = pg_testing::connect_db(db());
  shared::connectors::pg::execute(holder.get(), "SET idle_in_transaction_session_timeout = '20s'");
  shared::connectors::pg::execute(holder.get(), "BEGIN");
  shared::connectors::pg::execute(holder.get(), "LOCK TABLE " + table_ + " IN ACCESS EXCLUSIVE MODE");
  try {
    ask("detergent", Mode::lexical);
    ADD_FAILURE() << "the search waited for the lock to go";
  } catch (const shared::DatabaseError& e) {
    EXPECT_EQ(e.sqlstate, "57014") << e.what();  // query_canceled
  }
  shared::connectors::pg::execute(holder.get(), "ROLLBACK");
  EXPECT_FALSE(keys(ask("detergent", Mode::lexical)).empty());
}

TEST_F(Retrieval, ASubSectionComesBeforeTheParentThatRepeatsIt) {
  index_sops();
  const std::string parent = "SOP QD-000958 Cleaning Validation::6 Limits and excursions";
  const std::string limits = "SOP QD-000958 Cleaning Validation::6.1 Limits";
  const std::string excursions = "SOP QD-000958 Cleaning Validation::6.2 Excursions";
  const std::string procedure = "SOP QD-000958 Cleaning Validation::3 Procedure";
  const std::string preparation = "SOP QD-000958 Cleaning Validation::3.1 Preparation";
  const std::string execution = "SOP QD-000958 Cleaning Validation::3.2 Execution";
  const struct {
    std::string question;
    std::vector<std::string> first;
  } cases[] = {
      // Words that a sibling holds too: the parent holds them all, twice.
      {"how large an area is swabbed at each sampling point", {execution}},
      {"cleaning validation swab kit", {preparation, procedure}},
      {"what is the rinse limit", {limits}},
      // The sub-section holding the words first, its parent next.
      {"what is the residue limit per swab", {limits, parent}},
      {"when is an excursion reported to QA", {excursions, parent}},
      // The parent's own text, or words from several of its sub-sections.
      {"does an excursion open a deviation", {parent}},
      {"residue and QA", {parent}},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> got = keys(ask(c.question));
    ASSERT_GE(got.size(), c.first.size()) << c.question;
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + static_cast<long>(c.first.size())), c.first)
        << c.question;
  }
  // Hybrid search fuses the same full-text ranking.
  const std::vector<std::string> hybrid = keys(ask("what is the residue limit per swab", Mode::hybrid));
  ASSERT_GE(hybrid.size(), 2u);
  EXPECT_EQ(hybrid[0], limits);
  EXPECT_LT(std::find(hybrid.begin(), hybrid.end(), limits), std::find(hybrid.begin(), hybrid.end(), parent));
}

TEST_F(Retrieval, TheMetadataSectionAnswersQuestionsAboutTheDocumentOnly) {
  index_sops();
  const std::string meta = "SOP QD-000958 Cleaning Validation::Metadata";
  const struct {
    std::string question, first;
  } cases[] = {
      {"document number of the cleaning validation SOP", meta},
      {"veeva link to the cleaning validation document", meta},
      {"QD-000958", meta},
      {"cleaning validation of manufacturing equipment", meta},
      // Content questions naming the document, or a word of a label.
      {"who owns the cleaning validation procedure", "SOP QD-000958 Cleaning Validation::2 Responsibilities"},
      {"what is the name of the cleaning agent for cleaning validation",
       "SOP QD-000958 Cleaning Validation::3.1 Preparation"},
      {"number of days to report a cleaning validation excursion",
       "SOP QD-000958 Cleaning Validation::6.2 Excursions"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> got = keys(ask(c.question));
    ASSERT_FALSE(got.empty()) << c.question;
    EXPECT_EQ(got[0], c.first) << c.question;
  }
}

TEST_F(Retrieval, ACommonWordAdmitsNoSectionOnItsOwn) {
  index_sops();
  // "must" and "use" are in most sections; only those holding "rinse" answer.
  const std::vector<std::string> got = keys(ask("must we use a rinse", Mode::lexical, {}, 30));
  EXPECT_EQ(got, (std::vector<std::string>{"SOP QD-000958 Cleaning Validation::3.2 Execution",
                                           "SOP QD-000958 Cleaning Validation::6.1 Limits",
                                           "SOP QD-000958 Cleaning Validation::6.2 Excursions",
                                           "SOP QD-000958 Cleaning Validation::6 Limits and excursions",
                                           "SOP QD-000958 Cleaning Validation::3 Procedure"}));
  // A question of common words only is admitted by the least common one.
  const std::vector<std::string> common = keys(ask("must use", Mode::lexical, {}, 30));
  EXPECT_EQ(common.size(), 12u);
  EXPECT_EQ(common[0], "SOP QD-001204 Batch Record Review::1 Step 1");

  // The word counts follow every write: a re-run that keeps every section,
  // a deletion, and a re-run of a changed document.
  auto held = [&](const std::string& lexeme) {
    const auto rows = pg_testing::query(db(), "SELECT sections FROM " + table_ + "_terms WHERE lexeme = '" + lexeme + "'");
    return rows.empty() ? -1 : rows[0]["sections"].get<int>();
  };
  EXPECT_EQ(held(""), 22);
  EXPECT_EQ(held("must"), 13);
  index_sops();
  EXPECT_EQ(held(""), 22);
  EXPECT_EQ(held("must"), 13);
  vector_db::delete_document_sections("QD-001204");
  EXPECT_EQ(held(""), 9);
  EXPECT_EQ(held("must"), 1);
  index_markdown("QD-001204", "SOP QD-001204 Batch Record Review", "Review of Executed Batch Records",
                 "# 1 Step 1\nOperators must rinse the pen.\n");
  EXPECT_EQ(held(""), 11);
  EXPECT_EQ(held("must"), 2);
  EXPECT_EQ(held("rins"), 6);
  // Now "must" is rare: it admits the sections holding it.
  EXPECT_EQ(keys(ask("must we use a rinse", Mode::lexical)).size(), 6u);
}

namespace {

// From a handful of sections on, the approximate index, kept in a folder of the test's own.
class ApproximateRetrieval : public Retrieval {
 protected:
  void SetUp() override {
    Retrieval::SetUp();
    if (IsSkipped()) return;
    approximate(1);
  }
  void TearDown() override {
    ann_settings_.reset();
    Retrieval::TearDown();
  }
  void approximate(long min_sections) {
    ann_settings_.reset();
    shared::config::Settings s = shared::config::get();
    s.ANN_MIN_SECTIONS = min_sections;
    s.VECTOR_CACHE_DIR = (cache_dir_.path() / "kesto").string();
    ann_settings_ = std::make_unique<testing_support::ScopedSettings>(s);
  }
  // The question asked in a new process: a Searcher with a cache of its own.
  retrieval::Answer fresh(const std::string& text, std::string qd = {}, std::size_t k = 10,
                          retrieval::VectorKind* kind = nullptr) {
    auto cache = std::make_shared<retrieval::VectorCache>();
    retrieval::Searcher searcher({}, cache);
    retrieval::Answer a =
        searcher.search(retrieval::Query{.text = text, .k = k, .qd_number = std::move(qd), .mode = Mode::vector});
    if (kind) *kind = cache->kind();
    return a;
  }
  std::string cache_file() {
    auto conn = shared::connectors::mainstore::get_conn();
    return retrieval::ann_cache_file(conn.get(), table_, "emb-test");
  }
  static std::set<std::string> key_set(const retrieval::Answer& a) {
    std::set<std::string> out;
    for (const auto& h : a.hits) out.insert(h.section_key);
    return out;
  }

  testing_support::TempDir cache_dir_;
  std::unique_ptr<testing_support::ScopedSettings> ann_settings_;
};

TEST_F(ApproximateRetrieval, TheIndexIsKeptAndANewProcessSearchesItWithoutReadingTheVectors) {
  index_samples();
  retrieval::VectorKind kind{};
  std::uint64_t before = vector_db::vectors_read();
  const retrieval::Answer first = fresh("how do we sanitise", {}, 2, &kind);
  EXPECT_EQ(kind, retrieval::VectorKind::approximate);
  EXPECT_EQ(vector_db::vectors_read() - before, 7u);
  EXPECT_EQ(key_set(first), (std::set<std::string>{"Plant SOP::2 Cleaning", "Plant SOP::2.1 Agents"}));
  const std::string file = cache_file();
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  before = vector_db::vectors_read();
  const retrieval::Answer again = fresh("how do we sanitise", {}, 2, &kind);
  EXPECT_EQ(vector_db::vectors_read(), before) << "the file was not used";
  EXPECT_EQ(kind, retrieval::VectorKind::approximate);
  EXPECT_EQ(key_set(again), key_set(first));

  // Below the threshold the vectors are read and scored exactly, as before.
  approximate(1000);
  EXPECT_EQ(key_set(fresh("how do we sanitise", {}, 2, &kind)), key_set(first));
  EXPECT_EQ(kind, retrieval::VectorKind::exact);
}

TEST_F(ApproximateRetrieval, ANewProcessReadsOnlyTheVectorsOfRowsWrittenSince) {
  index_samples();
  // Enough other sections that the changes below touch less than a quarter
  // of the graph (beyond that it is made anew).
  std::vector<std::pair<std::string, std::string>> steps;
  for (int i = 1; i <= 20; ++i) steps.emplace_back(std::to_string(i) + " Step", "## " + std::to_string(i) + " Step\nStep " + std::to_string(i) + ".");
  ASSERT_TRUE(index("QD-009999", "Steps SOP", steps).success);
  fresh("how do we sanitise");
  // One section of a document changes, a document goes, another comes.
  const auto changed = index("QD-001204", "Release SOP",
                             {{"1 Purpose", "## 1 Purpose\nEvery mishap is reported."},
                              {"2 Review", "## 2 Review\nQA checks every signature and the detergent lot numbers."}});
  ASSERT_TRUE(changed.success);
  vector_db::delete_document_sections("QD-000958");
  const auto added = index("QD-002317", "Wipe SOP", {{"1 Wiping", "## 1 Wiping\nWipe all benches."}});
  ASSERT_TRUE(added.success);

  std::uint64_t before = vector_db::vectors_read();
  testing_support::LogCapture log(shared::logsetup::Level::info);
  const retrieval::Answer mishap = fresh("mishap", {}, 1);
  EXPECT_EQ(log.matching("6 removed, 2 added").size(), 1u) << log.text();
  EXPECT_EQ(vector_db::vectors_read() - before, 2u);
  ASSERT_EQ(mishap.hits.size(), 1u);
  EXPECT_EQ(mishap.hits[0].section_key, "Release SOP::1 Purpose");
  // Found by its new vector, not by its old one.
  for (const auto& h : fresh("batch record review").hits) {
    if (h.section_key == "Release SOP::1 Purpose") EXPECT_LT(h.score, 0.5);
    EXPECT_NE(h.qd_number, "QD-000958") << "a deleted section was found";
  }
  const retrieval::Answer wipe = fresh("sanitise", {}, 1);
  ASSERT_EQ(wipe.hits.size(), 1u);
  EXPECT_EQ(wipe.hits[0].section_key, "Wipe SOP::1 Wiping");
  // The file was brought up to date: the next process reads nothing.
  before = vector_db::vectors_read();
  const retrieval::Answer one_document = fresh("signature review", "qd-001204");
  EXPECT_EQ(vector_db::vectors_read(), before);

  // A document's search is exact: the scan's scores.
  approximate(1000);
  const retrieval::Answer exact = fresh("signature review", "qd-001204");
  ASSERT_EQ(one_document.hits.size(), exact.hits.size());
  for (std::size_t i = 0; i < exact.hits.size(); ++i) {
    EXPECT_EQ(one_document.hits[i].section_key, exact.hits[i].section_key);
    EXPECT_NEAR(one_document.hits[i].score, exact.hits[i].score, 1e-6);
  }
}

TEST_F(ApproximateRetrieval, AFileThatIsNoIndexOrADirectoryOthersMayWriteIsNeverUsed) {
  index_samples();
  fresh("sanitise");
  const std::string file = cache_file();
  for (const std::string& spoilt : {std::string("not an index"), std::string(4096, '\xff'), std::string()}) {
    testing_support::write_bytes(file, spoilt);
    testing_support::LogCapture log(shared::logsetup::Level::warning);
    const std::uint64_t before = vector_db::vectors_read();
    EXPECT_EQ(fresh("how do we sanitise", {}, 2).hits.size(), 2u);
    EXPECT_EQ(vector_db::vectors_read() - before, 7u) << "made again";
    EXPECT_EQ(log.matching("not used").size(), 1u) << log.text();
  }
  // The file made again is whole: the next process reads nothing.
  std::uint64_t before = vector_db::vectors_read();
  fresh("sanitise");
  EXPECT_EQ(vector_db::vectors_read(), before);

  // Whoever may write the directory could plant a file: none is read or written there.
  std::filesystem::remove(file);
  const auto dir = std::filesystem::path(file).parent_path();
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  testing_support::LogCapture log(shared::logsetup::Level::warning);
  EXPECT_EQ(fresh("how do we sanitise", {}, 2).hits.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(log.matching("writable by others").size(), 1u) << log.text();
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
}

}  // namespace
