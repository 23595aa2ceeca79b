#include "shared/connectors/blobhub.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "shared/errors.hpp"
#include "support/recording_transport.hpp"
#include "support/testing.hpp"

namespace blobhub = shared::connectors::blobhub;
using shared::net::Request;
using shared::net::Response;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;
using testing_support::RecordingTransport;
using testing_support::ScopedSettings;

namespace {

const char* kOutput = "http://out.example.invalid/acctout";
const char* kSource = "http://src.example.invalid/acctsrc";

shared::config::Settings two_accounts() {
  shared::config::Settings s;
  s.STORAGE_CONNECTION_STRING = std::string("AccountName=acctout;AccountKey=YWI=;BlobEndpoint=") + kOutput;
  s.STORAGE_CONTAINER_NAME = "out-c";
  s.TOLVAN_STORAGE_CONNECTION_STRING = std::string("AccountName=acctsrc;AccountKey=YQ==;BlobEndpoint=") + kSource;
  s.TOLVAN_STORAGE_CONTAINER_NAME = "src-c";
  return s;
}

// Fresh client slots whose clients send through a recording transport.
class Hub : public ::testing::Test {
 protected:
  explicit Hub(const shared::config::Settings& s = two_accounts()) : settings_(s) {
    blobhub::_reset_clients();
    blobhub::_set_client_options({.transport = transport});
  }
  ~Hub() override {
    blobhub::_reset_clients();
    blobhub::_set_client_options({});
  }
  Request last() const { return transport->requests().back(); }
  // "{endpoint} {container}" of the last request.
  std::string target() const {
    const std::string url = last().url;
    for (const char* endpoint : {kOutput, kSource}) {
      const std::string e(endpoint);
      if (url.rfind(e + "/", 0) == 0) {
        const std::string rest = url.substr(e.size() + 1);
        return (e == kOutput ? "output " : "source ") + rest.substr(0, rest.find_first_of("/?"));
      }
    }
    return "elsewhere " + url;
  }

  std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();

 private:
  ScopedSettings settings_;
};

Response listing(const std::vector<std::string>& names) {
  std::string xml = "<EnumerationResults><Blobs>";
  for (const auto& n : names) xml += "<Blob><Name>" + n + "</Name></Blob>";
  return Response{200, {}, xml + "</Blobs><NextMarker/></EnumerationResults>"};
}

Response not_found() {
  return Response{404,
                  {{"x-ms-error-code", "BlobNotFound"}},
                  "<Error><Code>BlobNotFound</Code><Message>The specified blob does not exist.</Message></Error>"};
}

}  // namespace

TEST(BuildBlobPath, Table) {
  struct Case {
    std::string folder, filename, expected;
  };
  const std::vector<Case> cases = {
      {"kesto-ml-dev-markdown-files", "SOP-001.md", "kesto-ml-dev-markdown-files/SOP-001.md"},
      {"a/", "/b.md", "a/b.md"},
      {"/x/y/", "f.json", "x/y/f.json"},
      {"", "f", "/f"},
      {"a", "", "a/"},
      {"//a//", "//b//c//", "a/b//c"},
      {" a ", " b ", " a / b "},
      {"///", "///", "/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(blobhub::build_blob_path(c.folder, c.filename), c.expected) << c.folder << " + " << c.filename;
  }
}

TEST_F(Hub, AccountAndContainerSelection) {
  transport->set_handler([](const Request& r) {
    if (r.url.find("comp=list") != std::string::npos) return listing({});
    if (r.method == "PUT") return Response{201, {}, ""};
    if (r.method == "DELETE") return Response{202, {}, ""};
    return Response{200, {}, "x"};
  });
  using W = blobhub::Where;
  struct Case {
    std::string name;
    std::function<void()> call;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"default", [] { blobhub::check_blob_exists("p"); }, "output out-c"},
      {"empty container", [] { blobhub::download_blob("p", W{"", false}); }, "output out-c"},
      {"other container", [] { blobhub::download_blob("p", W{"other", false}); }, "output other"},
      {"source container named", [] { blobhub::download_blob("p", W{"src-c", false}); }, "source src-c"},
      {"case matters", [] { blobhub::check_blob_exists("p", W{"SRC-C", false}); }, "output SRC-C"},
      {"flag keeps output default container", [] { blobhub::check_blob_exists("p", W{std::nullopt, true}); },
       "source out-c"},
      {"flag with container", [] { blobhub::delete_blob("p", W{"x", true}); }, "source x"},
      {"upload with flag", [] { blobhub::upload_blob("p", "d", {.use_tolvan_storage = true}); }, "source out-c"},
      {"upload to source container", [] { blobhub::upload_blob("p", "d", {.container = "src-c"}); }, "source src-c"},
      {"list with flag", [] { blobhub::list_blobs_in_folder("f", W{std::nullopt, true}); }, "source out-c"},
      {"properties", [] { blobhub::get_blob_properties("p", W{"src-c", false}); }, "source src-c"},
      {"shortcut download", [] { blobhub::download_from_tolvan("p"); }, "source src-c"},
      {"shortcut download empty", [] { blobhub::download_from_tolvan("p", ""); }, "source src-c"},
      {"shortcut list", [] { blobhub::list_tolvan_blobs("f"); }, "source src-c"},
      {"shortcut exists other", [] { blobhub::check_tolvan_blob_exists("p", "docs"); }, "source docs"},
  };
  for (const Case& c : cases) {
    c.call();
    EXPECT_EQ(target(), c.expected) << c.name;
  }
}

TEST_F(Hub, LogLinesAndResults) {
  transport->set_handler([](const Request& r) {
    if (r.url.find("comp=list") != std::string::npos) return listing({"f/a.md", "f/b.md"});
    if (r.method == "PUT") return Response{201, {}, ""};
    if (r.method == "DELETE") return Response{202, {}, ""};
    if (r.method == "HEAD") return Response{200, {{"Content-Length", "7"}, {"Content-Type", "text/plain"}}, ""};
    return Response{200, {}, "\xEF\xBB\xBFh\xC3\xA4llo"};
  });
  LogCapture cap(shared::logsetup::Level::debug);
  EXPECT_TRUE(blobhub::check_blob_exists("f/a.md"));
  EXPECT_EQ(blobhub::download_blob("f/a.md", {"src-c"}), "\xEF\xBB\xBFh\xC3\xA4llo");
  EXPECT_EQ(blobhub::download_blob_text("f/a.md"), "\xEF\xBB\xBFh\xC3\xA4llo");
  EXPECT_EQ(blobhub::upload_blob("/f/x.md", "\xC3\xA4", {.content_type = "text/markdown"}), "/f/x.md");
  EXPECT_EQ(blobhub::list_blobs_in_folder("/f/"), (std::vector<std::string>{"f/a.md", "f/b.md"}));
  EXPECT_TRUE(blobhub::delete_blob("f/a.md", {"other"}));
  const blobhub::BlobProperties props = blobhub::get_blob_properties("f/a.md");
  EXPECT_EQ(props.content_length, 7);
  EXPECT_EQ(props.content_type, "text/plain");

  const std::vector<std::string> expected = {
      R"({"message": "Output BlobServiceClient initialized (singleton)."})",
      R"({"message": "check_blob_exists('f/a.md', container='out-c') -> True"})",
      R"({"message": "Tolvan BlobServiceClient initialized (singleton)."})",
      R"({"message": "download_blob('f/a.md', container='src-c') -> 9 bytes"})",
      R"({"message": "download_blob('f/a.md', container='out-c') -> 9 bytes"})",
      R"({"message": "upload_blob('/f/x.md', container='out-c') -> 2 bytes"})",
      R"j({"message": "list_blobs_in_folder('/f/') -> 2 blob(s)"})j",
      R"({"message": "Deleted blob 'f/a.md' from container 'other'"})",
      R"({"message": "get_blob_properties('f/a.md', container='out-c') -> 7 bytes"})",
  };
  EXPECT_EQ(cap.lines(), expected);
}

TEST_F(Hub, UploadOptionsReachTheRequest) {
  transport->set_handler([](const Request&) { return Response{201, {}, ""}; });
  struct Case {
    blobhub::UploadOptions options;
    std::string content_type, if_none_match;
  };
  const std::vector<Case> cases = {
      {{}, "", ""},
      {{.content_type = ""}, "", ""},
      {{.content_type = "text/markdown"}, "text/markdown", ""},
      {{.overwrite = false}, "", "*"},
  };
  for (const Case& c : cases) {
    blobhub::upload_blob("f/x.md", "abc", c.options);
    EXPECT_EQ(shared::net::header_value(last().headers, "x-ms-blob-content-type"), c.content_type);
    EXPECT_EQ(shared::net::header_value(last().headers, "If-None-Match"), c.if_none_match);
    EXPECT_EQ(last().body, "abc");
    EXPECT_EQ(last().url, std::string(kOutput) + "/out-c/f/x.md");
  }
}

TEST_F(Hub, ListingPrefixEndsInOneSlash) {
  transport->set_handler([](const Request&) { return listing({}); });
  struct Case {
    std::string folder, prefix;
  };
  const std::vector<Case> cases = {
      {"kesto-ml-dev-json", "kesto-ml-dev-json%2F"},
      {"/kesto-ml-dev-json/", "kesto-ml-dev-json%2F"},
      {"a/b//", "a%2Fb%2F"},
      {"", "%2F"},
      {"///", "%2F"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(blobhub::list_blobs_in_folder(c.folder).empty());
    EXPECT_EQ(last().url, std::string(kOutput) + "/out-c?restype=container&comp=list&prefix=" + c.prefix) << c.folder;
  }
}

TEST_F(Hub, ClientsAreCreatedOnceAcrossThreads) {
  LogCapture cap(shared::logsetup::Level::info);
  std::vector<std::thread> threads;
  std::vector<const void*> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = blobhub::_get_output_blob_client().get(); });
  }
  for (auto& t : threads) t.join();
  for (const void* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(blobhub::_get_blob_client(std::string("src-c")).get(), blobhub::_get_tolvan_blob_client().get());
  EXPECT_NE(blobhub::_get_tolvan_blob_client().get(), seen[0]);
  EXPECT_EQ(cap.matching("Output BlobServiceClient initialized (singleton).").size(), 1u);
  EXPECT_EQ(cap.matching("Tolvan BlobServiceClient initialized (singleton).").size(), 1u);
}

class HubWithoutOutput : public Hub {
 protected:
  static shared::config::Settings settings() {
    auto s = two_accounts();
    s.STORAGE_CONNECTION_STRING = "";
    return s;
  }
  HubWithoutOutput() : Hub(settings()) {}
};

TEST_F(HubWithoutOutput, MissingConnectionStringAfterRetriesWhileSourceWorks) {
  RecordedSleeps sleeps;
  LogCapture cap(shared::logsetup::Level::debug);
  const std::string message =
      "STORAGE_ACCOUNT_CONNECTION_STRING not set. Please set the STORAGE_ACCOUNT_CONNECTION_STRING environment "
      "variable.";
  try {
    blobhub::check_blob_exists("f/a.md");
    ADD_FAILURE() << "no error";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0}));
  const std::vector<std::string> expected = {
      "{\"message\": \"[retry] check_blob_exists attempt 1/3 failed: " + message + ". Retrying in 1.0s\\u2026\"}",
      "{\"message\": \"[retry] check_blob_exists attempt 2/3 failed: " + message + ". Retrying in 2.0s\\u2026\"}",
      "{\"message\": \"[retry] check_blob_exists failed after 3 attempts: " + message + "\"}",
  };
  EXPECT_EQ(cap.lines(), expected);
  EXPECT_TRUE(transport->requests().empty());

  // Every output-side operation fails the same way; the source side works.
  for (const auto& call : std::vector<std::function<void()>>{
           [] { blobhub::download_blob("x"); }, [] { blobhub::upload_blob("x", "d"); },
           [] { blobhub::list_blobs_in_folder("f"); }, [] { blobhub::delete_blob("x"); },
           [] { blobhub::get_blob_properties("x"); }}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  EXPECT_TRUE(transport->requests().empty());
  EXPECT_TRUE(blobhub::check_tolvan_blob_exists("d/x.docx"));
  EXPECT_EQ(target(), "source src-c");
}

TEST_F(Hub, DownloadTextRetriesBothLayers) {
  RecordedSleeps sleeps;
  transport->set_handler([](const Request&) { return not_found(); });
  try {
    blobhub::download_blob_text("f/missing.md");
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.error_code, "BlobNotFound");
    EXPECT_STREQ(e.what(), "download 'out-c/f/missing.md' failed: 404 BlobNotFound: The specified blob does not exist.");
  }
  EXPECT_EQ(transport->requests().size(), 9u);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0, 1.0, 1.0, 2.0, 2.0, 1.0, 2.0}));
}

TEST_F(Hub, DownloadTextRejectsInvalidUtf8) {
  RecordedSleeps sleeps;
  transport->set_handler([](const Request&) { return Response{200, {}, "ok \xC3\x28 rest"}; });
  try {
    blobhub::download_blob_text("f/bad.md");
    ADD_FAILURE() << "no error";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "Blob 'f/bad.md' is not valid UTF-8 text: invalid byte 0xc3 at offset 3");
  }
  // The text layer re-downloads on each of its three tries.
  EXPECT_EQ(transport->requests().size(), 3u);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0}));
}

TEST_F(Hub, FailuresPropagateAfterThreeTries) {
  RecordedSleeps sleeps;
  transport->set_handler([](const Request& r) {
    if (r.method == "HEAD") {
      return Response{404, {{"x-ms-error-code", "ContainerNotFound"}}, ""};
    }
    return not_found();
  });
  EXPECT_THROW(blobhub::delete_blob("f/gone.md"), shared::ServiceError);
  EXPECT_EQ(transport->requests().size(), 3u);
  EXPECT_THROW(blobhub::check_blob_exists("f/x.md", {"nope"}), shared::ServiceError);
  EXPECT_EQ(transport->requests().size(), 6u);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0, 1.0, 2.0}));

  // A passing failure is retried away.
  int calls = 0;
  transport->set_handler([&calls](const Request&) -> Response {
    if (++calls < 3) throw shared::TransportError("connection reset");
    return Response{200, {}, "late"};
  });
  EXPECT_EQ(blobhub::download_blob("f/x.md"), "late");
}
