#include <gtest/gtest.h>

#include "connectors/emulator.hpp"
#include "shared/connectors/blob_client.hpp"
#include "support/testing.hpp"

using shared::connectors::BlobServiceClient;
using testing_support::TempDir;

namespace {

// Runs `kesto blob ARGS` in a folder without a .env file, with the test's
// own containers; returns the exit status and keeps stdout and stderr.
struct Cli {
  TempDir dir;
  std::string out_container = emulator::unique_container("cli-out");
  std::string src_container = emulator::unique_container("cli-src");

  int run(const std::string& args, std::string* out = nullptr, std::string* err = nullptr) const {
    const auto err_file = dir / "stderr.txt";
    const std::string cmd = "cd '" + dir.path().string() + "' && env STORAGE_CONTAINER_NAME=" + out_container +
                            " TOLVAN_STORAGE_CONTAINER_NAME=" + src_container + " '" +
                            (testing_support::binary_dir() / "kesto").string() + "' blob " + args + " 2>'" +
                            err_file.string() + "'";
    std::string captured;
    const int rc = testing_support::run_command(cmd, &captured);
    if (out) *out = captured;
    if (err) *err = testing_support::read_bytes(err_file);
    return rc;
  }
};

}  // namespace

TEST(KestoBlob, OperatorRoundTripOnBothAccounts) {
  Cli cli;
  const BlobServiceClient output = BlobServiceClient::from_connection_string(emulator::output_connection());
  const BlobServiceClient source = BlobServiceClient::from_connection_string(emulator::source_connection());
  ASSERT_EQ(cli.run("mkcontainer"), 0);
  ASSERT_EQ(cli.run("mkcontainer --source"), 0);
  ASSERT_EQ(cli.run("mkcontainer --source"), 0);  // already there: still fine
  EXPECT_TRUE(output.get_container_client(cli.out_container).exists());
  EXPECT_TRUE(source.get_container_client(cli.src_container).exists());

  const std::string bytes("# A\n\0\xFF\xC3\xA4\n", 9);
  testing_support::write_bytes(cli.dir / "a.md", bytes);
  std::string out, err;
  EXPECT_EQ(cli.run("put a.md 'docs/SOP 1.md' --content-type text/markdown", &out, &err), 0) << err;
  EXPECT_EQ(out, "");
  EXPECT_EQ(output.get_blob_client(cli.out_container, "docs/SOP 1.md").get_properties().content_type, "text/markdown");

  EXPECT_EQ(cli.run("get 'docs/SOP 1.md'", &out), 0);
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(cli.run("get 'docs/SOP 1.md' -o copy.md", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(testing_support::read_bytes(cli.dir / "copy.md"), bytes);

  EXPECT_EQ(cli.run("put a.md docs/b.md", &out), 0);
  EXPECT_EQ(cli.run("ls /docs/", &out), 0);
  EXPECT_EQ(out, "docs/SOP 1.md\ndocs/b.md\n");
  EXPECT_EQ(cli.run("exists docs/b.md", &out), 0);
  EXPECT_EQ(out, "true\n");
  EXPECT_EQ(cli.run("rm docs/b.md", &out), 0);
  EXPECT_EQ(cli.run("exists docs/b.md", &out), 0);
  EXPECT_EQ(out, "false\n");

  // --source reaches the source account and its container.
  EXPECT_EQ(cli.run("put a.md in/x.docx --source", &out, &err), 0) << err;
  EXPECT_TRUE(source.get_blob_client(cli.src_container, "in/x.docx").exists());
  EXPECT_EQ(cli.run("ls in --source", &out), 0);
  EXPECT_EQ(out, "in/x.docx\n");
  EXPECT_EQ(cli.run("ls in", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(cli.run("get in/x.docx --source", &out), 0);
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(cli.run("exists in/x.docx --source", &out), 0);
  EXPECT_EQ(out, "true\n");
  EXPECT_EQ(cli.run("rm in/x.docx --source", &out), 0);
  EXPECT_FALSE(source.get_blob_client(cli.src_container, "in/x.docx").exists());

  // --container names another container of the chosen account.
  EXPECT_EQ(cli.run("put a.md y.md --container " + cli.src_container, &out, &err), 0) << err;
  EXPECT_TRUE(source.get_blob_client(cli.src_container, "y.md").exists());

  output.get_container_client(cli.out_container).delete_container();
  source.get_container_client(cli.src_container).delete_container();
}

TEST(KestoBlob, UsageAndLocalErrors) {
  Cli cli;
  struct Case {
    std::string args;
    int status;
    std::string err;  // exact standard error ("" to skip)
  };
  const std::vector<Case> cases = {
      {"", 2, ""},
      {"frob", 2, "kesto blob: error: unknown action 'frob' (see kesto blob --help)\n"},
      {"get", 2, "kesto blob get: error: missing argument PATH (see --help)\n"},
      {"ls a b", 2, "kesto blob ls: error: unexpected argument 'b' (see --help)\n"},
      {"exists x --log-level loud", 2, "kesto blob exists: error: unknown log level 'loud'\n"},
      {"put missing-file.md x.md", 1, "kesto blob put: error: cannot read 'missing-file.md'\n"},
  };
  for (const Case& c : cases) {
    std::string out, err;
    EXPECT_EQ(cli.run(c.args, &out, &err), c.status) << c.args;
    if (!c.err.empty()) {
      EXPECT_EQ(err, c.err) << c.args;
    }
  }
  for (const std::string action : {"--help", "ls --help", "get --help", "put --help", "rm --help", "exists --help",
                                   "mkcontainer --help"}) {
    std::string out;
    EXPECT_EQ(cli.run(action, &out), 0) << action;
    EXPECT_NE(out.find("usage: kesto blob"), std::string::npos) << action;
  }
}
