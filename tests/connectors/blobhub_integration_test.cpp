#include <gtest/gtest.h>

#include <thread>

#include "connectors/emulator.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"

namespace blobhub = shared::connectors::blobhub;
using shared::connectors::BlobServiceClient;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;
using testing_support::ScopedSettings;

namespace {

// The two emulator accounts with containers of the test's own: OUT in the
// output account, SRC in the source account, and a container named like OUT
// in the source account as well (where the flag without a container goes).
class Hub : public ::testing::Test {
 protected:
  static shared::config::Settings settings(bool with_output = true) {
    shared::config::Settings s;
    s.STORAGE_CONNECTION_STRING = with_output ? emulator::output_connection() : "";
    s.TOLVAN_STORAGE_CONNECTION_STRING = emulator::source_connection();
    s.STORAGE_CONTAINER_NAME = emulator::unique_container("out");
    s.TOLVAN_STORAGE_CONTAINER_NAME = emulator::unique_container("src");
    return s;
  }

  explicit Hub(bool with_output = true)
      : scoped_(settings(with_output)),
        counting(std::make_shared<emulator::CountingTransport>(shared::net::make_curl_transport())),
        out(shared::config::get().STORAGE_CONTAINER_NAME),
        src(shared::config::get().TOLVAN_STORAGE_CONTAINER_NAME),
        output_account(BlobServiceClient::from_connection_string(emulator::output_connection())),
        source_account(BlobServiceClient::from_connection_string(emulator::source_connection())) {
    blobhub::_reset_clients();
    blobhub::_set_client_options({.transport = counting});
    if (with_output) output_account.get_container_client(out).create();
    source_account.get_container_client(src).create();
    source_account.get_container_client(out).create();
  }
  ~Hub() override {
    blobhub::_reset_clients();
    blobhub::_set_client_options({});
    for (auto* account : {&output_account, &source_account}) {
      for (const std::string& c : {out, src}) {
        try {
          account->get_container_client(c).delete_container();
        } catch (const std::exception&) {
        }
      }
    }
  }

  // Where a blob really is: "output", "source", "both" or "none".
  std::string where_is(const std::string& container, const std::string& path) const {
    auto has = [&](const BlobServiceClient& a) {
      try {
        return a.get_blob_client(container, path).exists();
      } catch (const shared::ServiceError&) {
        return false;  // the container does not exist in that account
      }
    };
    const bool o = has(output_account), s = has(source_account);
    return o && s ? "both" : o ? "output" : s ? "source" : "none";
  }

 private:
  ScopedSettings scoped_;

 protected:
  std::shared_ptr<emulator::CountingTransport> counting;
  std::string out, src;
  BlobServiceClient output_account, source_account;
};

class HubWithoutOutput : public Hub {
 protected:
  HubWithoutOutput() : Hub(false) {}
};

}  // namespace

TEST_F(Hub, OperationsOnTheOutputAccount) {
  LogCapture cap(shared::logsetup::Level::debug);
  const std::string path = blobhub::build_blob_path("/kesto-ml-dev-markdown-files/", "SOP-001.md");
  EXPECT_FALSE(blobhub::check_blob_exists(path));
  EXPECT_EQ(blobhub::upload_blob(path, "# SOP \xE2\x86\x92 1\n", {.content_type = "text/markdown"}), path);
  EXPECT_TRUE(blobhub::check_blob_exists(path));
  EXPECT_EQ(blobhub::download_blob_text(path), "# SOP \xE2\x86\x92 1\n");
  EXPECT_EQ(blobhub::get_blob_properties(path).content_type, "text/markdown");
  EXPECT_EQ(blobhub::list_blobs_in_folder("kesto-ml-dev-markdown-files"), (std::vector<std::string>{path}));
  EXPECT_EQ(blobhub::list_blobs_in_folder("kesto-ml-dev-markdown-files/"), (std::vector<std::string>{path}));
  EXPECT_TRUE(blobhub::delete_blob(path));
  EXPECT_FALSE(blobhub::check_blob_exists(path));
  EXPECT_TRUE(blobhub::list_blobs_in_folder("kesto-ml-dev-markdown-files").empty());
  EXPECT_EQ(where_is(out, path), "none");

  const std::vector<std::string> expected = {
      R"({"message": "Output BlobServiceClient initialized (singleton)."})",
      R"({"message": "check_blob_exists('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> False"})",
      R"({"message": "upload_blob('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> 12 bytes"})",
      R"({"message": "check_blob_exists('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> True"})",
      R"({"message": "download_blob('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> 12 bytes"})",
      R"({"message": "get_blob_properties('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> 12 bytes"})",
      R"j({"message": "list_blobs_in_folder('kesto-ml-dev-markdown-files') -> 1 blob(s)"})j",
      R"j({"message": "list_blobs_in_folder('kesto-ml-dev-markdown-files/') -> 1 blob(s)"})j",
      R"({"message": "Deleted blob 'kesto-ml-dev-markdown-files/SOP-001.md' from container ')" + out + R"('"})",
      R"({"message": "check_blob_exists('kesto-ml-dev-markdown-files/SOP-001.md', container=')" + out + R"(') -> False"})",
      R"j({"message": "list_blobs_in_folder('kesto-ml-dev-markdown-files') -> 0 blob(s)"})j",
  };
  EXPECT_EQ(cap.lines(), expected);
}

TEST_F(Hub, BothAccountsInOneProcessFollowTheRoutingRules) {
  // Named source container without the flag: the source account.
  blobhub::upload_blob("docs/a.docx", "A", {.container = src});
  EXPECT_EQ(where_is(src, "docs/a.docx"), "source");
  // The flag without a container: the source account, but the output
  // account's default container name.
  blobhub::upload_blob("docs/b.docx", "B", {.use_tolvan_storage = true});
  EXPECT_EQ(where_is(out, "docs/b.docx"), "source");
  // Neither: the output account.
  blobhub::upload_blob("docs/c.md", "C");
  EXPECT_EQ(where_is(out, "docs/c.md"), "output");

  // The shortcuts default to the source container.
  EXPECT_EQ(blobhub::download_from_tolvan("docs/a.docx"), "A");
  EXPECT_EQ(blobhub::list_tolvan_blobs("docs"), (std::vector<std::string>{"docs/a.docx"}));
  EXPECT_TRUE(blobhub::check_tolvan_blob_exists("docs/a.docx"));
  EXPECT_FALSE(blobhub::check_tolvan_blob_exists("docs/c.md"));
  EXPECT_EQ(blobhub::download_from_tolvan("docs/b.docx", out), "B");
  EXPECT_EQ(blobhub::list_blobs_in_folder("docs", {std::nullopt, true}), (std::vector<std::string>{"docs/b.docx"}));
  EXPECT_EQ(blobhub::list_blobs_in_folder("docs"), (std::vector<std::string>{"docs/c.md"}));
  EXPECT_EQ(blobhub::download_blob("docs/a.docx", {src}), "A");

  EXPECT_TRUE(blobhub::delete_blob("docs/b.docx", {std::nullopt, true}));
  EXPECT_EQ(where_is(out, "docs/b.docx"), "none");

  // Both paths of a run use the same clients at once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        const std::string p = "par/" + std::to_string(t) + "-" + std::to_string(i);
        blobhub::upload_blob(p, p);
        if (blobhub::download_blob_text(p) != p) ADD_FAILURE() << p;
        if (t == 1) blobhub::check_tolvan_blob_exists("docs/a.docx");
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(blobhub::list_blobs_in_folder("par").size(), 20u);
}

TEST_F(Hub, ContentTypeAndOverwrite) {
  RecordedSleeps sleeps;
  blobhub::upload_blob("t/plain.txt", "x", {.content_type = ""});
  EXPECT_EQ(blobhub::get_blob_properties("t/plain.txt").content_type, "application/octet-stream");
  blobhub::upload_blob("t/doc.md", "x", {.content_type = "text/markdown"});
  EXPECT_EQ(blobhub::get_blob_properties("t/doc.md").content_type, "text/markdown");

  // overwrite false onto an existing blob: the already-exists error, after
  // the retries; the stored content is untouched.
  try {
    blobhub::upload_blob("t/doc.md", "y", {.overwrite = false});
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 409);
    EXPECT_EQ(e.error_code, "BlobAlreadyExists");
  }
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(blobhub::download_blob("t/doc.md"), "x");
  blobhub::upload_blob("t/new.md", "z", {.overwrite = false});
  EXPECT_EQ(blobhub::download_blob("t/new.md"), "z");
}

TEST_F(Hub, MissingBlobs) {
  RecordedSleeps sleeps;
  LogCapture cap(shared::logsetup::Level::warning);
  EXPECT_FALSE(blobhub::check_blob_exists("m/none.md"));
  EXPECT_TRUE(sleeps.waits().empty());

  const int before = counting->count();
  try {
    blobhub::download_blob_text("m/none.md");
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.error_code, "BlobNotFound");
  }
  // Three tries of the text layer, each with three download tries.
  EXPECT_EQ(counting->count() - before, 9);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0, 1.0, 1.0, 2.0, 2.0, 1.0, 2.0}));
  EXPECT_EQ(cap.matching("[retry] download_blob attempt").size(), 6u);
  EXPECT_EQ(cap.matching("[retry] download_blob failed after 3 attempts").size(), 3u);
  EXPECT_EQ(cap.matching("[retry] download_blob_text attempt").size(), 2u);
  EXPECT_EQ(cap.matching("[retry] download_blob_text failed after 3 attempts").size(), 1u);

  try {
    blobhub::delete_blob("m/none.md");
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 404);
  }
  // A container that does not exist is an error, not a missing blob.
  EXPECT_THROW(blobhub::check_blob_exists("m/none.md", {out + "-missing"}), shared::ServiceError);
  EXPECT_TRUE(blobhub::list_blobs_in_folder("m").empty());
}

TEST_F(Hub, InvalidUtf8IsADecodingError) {
  RecordedSleeps sleeps;
  blobhub::upload_blob("u/latin1.txt", "caf\xE9");
  try {
    blobhub::download_blob_text("u/latin1.txt");
    ADD_FAILURE() << "no error";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "Blob 'u/latin1.txt' is not valid UTF-8 text: invalid byte 0xe9 at offset 3");
  }
  EXPECT_EQ(blobhub::download_blob("u/latin1.txt"), "caf\xE9");
  blobhub::upload_blob("u/bom.txt", "\xEF\xBB\xBFtext");
  EXPECT_EQ(blobhub::download_blob_text("u/bom.txt"), "\xEF\xBB\xBFtext");
}

TEST_F(Hub, LargePayloadRoundTrip) {
  const std::string data = emulator::random_bytes(40 * 1024 * 1024 + 5, 11);
  EXPECT_EQ(blobhub::upload_blob("big/payload.bin", data), "big/payload.bin");
  const std::string back = blobhub::download_blob("big/payload.bin");
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}

TEST_F(HubWithoutOutput, EmptyConnectionStringAfterRetries) {
  RecordedSleeps sleeps;
  const std::string message =
      "STORAGE_ACCOUNT_CONNECTION_STRING not set. Please set the STORAGE_ACCOUNT_CONNECTION_STRING environment "
      "variable.";
  try {
    blobhub::upload_blob("x/y.md", "z");
    ADD_FAILURE() << "no error";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(counting->count(), 0);
  // The source account still works in the same process.
  blobhub::upload_blob("docs/s.docx", "S", {.container = src});
  EXPECT_EQ(blobhub::download_from_tolvan("docs/s.docx"), "S");
  EXPECT_EQ(where_is(src, "docs/s.docx"), "source");
}
