#include <gtest/gtest.h>

#include <algorithm>

#include "connectors/emulator.hpp"
#include "shared/connectors/blob_client.hpp"
#include "shared/errors.hpp"
#include "shared/text/percent.hpp"

using namespace shared::connectors;

namespace {

// A fresh container of the output account, removed again at the end.
class Live : public ::testing::Test {
 protected:
  explicit Live(int max_results = 0)
      : counting(std::make_shared<emulator::CountingTransport>(shared::net::make_curl_transport())),
        client(BlobServiceClient::from_connection_string(emulator::output_connection(),
                                                         {.transport = counting, .max_results = max_results})),
        name(emulator::unique_container("c")),
        container(client.get_container_client(name)) {
    EXPECT_TRUE(container.create());
  }
  ~Live() override {
    try {
      container.delete_container();
    } catch (const std::exception&) {
    }
  }

  std::shared_ptr<emulator::CountingTransport> counting;
  BlobServiceClient client;
  std::string name;
  ContainerClient container;
};

class SmallPages : public Live {
 protected:
  SmallPages() : Live(2) {}
};

template <class F>
shared::ServiceError service_error(F&& f) {
  try {
    f();
  } catch (const shared::ServiceError& e) {
    return e;
  }
  ADD_FAILURE() << "no service error";
  return shared::ServiceError("none", 0, "");
}

}  // namespace

TEST_F(Live, RoundTripWithContentTypeAndProperties) {
  EXPECT_FALSE(container.create());
  EXPECT_TRUE(container.exists());
  const BlobClient typed = client.get_blob_client(name, "docs/SOP-001.md");
  typed.upload("# Title\n\xC3\xA4\n", {.content_type = "text/markdown"});
  EXPECT_TRUE(typed.exists());
  EXPECT_EQ(typed.download(), "# Title\n\xC3\xA4\n");
  const BlobInfo props = typed.get_properties();
  EXPECT_EQ(props.content_type, "text/markdown");
  EXPECT_EQ(props.content_length, 11);
  EXPECT_FALSE(props.etag.empty());
  EXPECT_FALSE(props.last_modified.empty());

  const BlobClient plain = client.get_blob_client(name, "docs/raw.bin");
  plain.upload(std::string("\0\x01\xFF", 3));
  EXPECT_EQ(plain.get_properties().content_type, "application/octet-stream");
  EXPECT_EQ(plain.download(), std::string("\0\x01\xFF", 3));

  const BlobClient empty = client.get_blob_client(name, "docs/empty.txt");
  empty.upload("");
  EXPECT_EQ(empty.download(), "");
  EXPECT_EQ(empty.get_properties().content_length, 0);

  const auto listed = container.list_blobs("docs/");
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].name, "docs/SOP-001.md");
  EXPECT_EQ(listed[0].content_type, "text/markdown");
  EXPECT_EQ(listed[0].content_length, 11);
  EXPECT_EQ(listed[1].name, "docs/empty.txt");
  EXPECT_EQ(listed[2].name, "docs/raw.bin");
}

TEST_F(Live, NamesThatNeedEncodingRoundTrip) {
  const std::vector<std::string> names = {
      "dir/a b+c%d#e?f&g=h.md", "dir/\xC3\xA4\xE2\x86\x92\xF0\x9F\x98\x80.md", "/lead.md", "dir/semi;colon,comma'q\".md",
      "dir/tilde~star*(x)!.md"};
  for (const std::string& n : names) {
    SCOPED_TRACE(n);
    const BlobClient b = client.get_blob_client(name, n);
    b.upload("content of " + n);
    EXPECT_TRUE(b.exists());
    EXPECT_EQ(b.download(), "content of " + n);
  }
  auto listed = container.list_blob_names("dir/");
  EXPECT_EQ(listed.size(), 4u);
  for (const std::string& n : names) {
    if (n.rfind("dir/", 0) == 0) {
      EXPECT_NE(std::find(listed.begin(), listed.end(), n), listed.end()) << n;
    }
  }
  EXPECT_EQ(container.list_blob_names("/"), (std::vector<std::string>{"/lead.md"}));
  for (const std::string& n : names) client.get_blob_client(name, n).delete_blob();
  EXPECT_TRUE(container.list_blob_names().empty());
}

TEST_F(SmallPages, ListingReadsEveryPageAndKeepsPrefixes) {
  std::vector<std::string> expected;
  for (int i = 0; i < 7; ++i) expected.push_back("abc/f" + std::to_string(i) + ".json");
  for (const std::string& n : expected) client.get_blob_client(name, n).upload("x");
  for (const char* other : {"abcd/sibling.json", "abc", "ab/c.json", "xyz/abc/f.json"}) {
    client.get_blob_client(name, other).upload("y");
  }
  const int before = counting->count();
  EXPECT_EQ(container.list_blob_names("abc/"), expected);
  // Seven blobs in pages of two: four list requests.
  EXPECT_EQ(counting->count() - before, 4);
  EXPECT_EQ(container.list_blob_names("abcd/"), (std::vector<std::string>{"abcd/sibling.json"}));
  EXPECT_TRUE(container.list_blob_names("nothing/").empty());
  EXPECT_EQ(container.list_blob_names().size(), 11u);
}

TEST_F(Live, FailuresAreServiceErrors) {
  const BlobClient b = client.get_blob_client(name, "f/there.md");
  b.upload("first");

  auto e = service_error([&] { b.upload("second", {.overwrite = false}); });
  EXPECT_EQ(e.status, 409);
  EXPECT_EQ(e.error_code, "BlobAlreadyExists");
  EXPECT_EQ(std::string(e.what()).rfind("upload '" + name + "/f/there.md' failed: 409 BlobAlreadyExists: ", 0), 0u)
      << e.what();
  EXPECT_EQ(b.download(), "first");
  b.upload("third", {.overwrite = true});
  EXPECT_EQ(b.download(), "third");

  const BlobClient missing = client.get_blob_client(name, "f/missing.md");
  EXPECT_FALSE(missing.exists());
  e = service_error([&] { missing.download(); });
  EXPECT_EQ(e.status, 404);
  EXPECT_EQ(e.error_code, "BlobNotFound");
  EXPECT_EQ(std::string(e.what()).rfind("download '" + name + "/f/missing.md' failed: 404 BlobNotFound: ", 0), 0u)
      << e.what();
  e = service_error([&] { missing.delete_blob(); });
  EXPECT_EQ(e.status, 404);
  EXPECT_EQ(e.error_code, "BlobNotFound");
  e = service_error([&] { missing.get_properties(); });
  EXPECT_EQ(e.status, 404);

  // A missing container is an error for exists, not a false answer.
  const BlobClient nowhere = client.get_blob_client(name + "-none", "f/x.md");
  e = service_error([&] { nowhere.exists(); });
  EXPECT_EQ(e.status, 404);
  EXPECT_EQ(e.error_code, "ContainerNotFound");
  EXPECT_FALSE(client.get_container_client(name + "-none").exists());
  e = service_error([&] { client.get_container_client(name + "-none").list_blobs("f/"); });
  EXPECT_EQ(e.error_code, "ContainerNotFound");

  b.delete_blob();
  EXPECT_FALSE(b.exists());
}

TEST_F(Live, WrongKeyIsRefusedAndNotShown) {
  client.get_blob_client(name, "k.md").upload("k");
  StorageConnection wrong = parse_connection_string(emulator::output_connection());
  const std::string key = "d3Jvbmcta2V5LWJ5dGVzLWZvci10aGUtYWNjb3VudA==";
  wrong.account_key = key;
  const BlobServiceClient bad(wrong);
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { bad.get_blob_client(name, "k.md").exists(); }, [&] { bad.get_blob_client(name, "k.md").download(); },
           [&] { bad.get_blob_client(name, "k.md").upload("z"); }, [&] { bad.get_container_client(name).list_blobs(); }}) {
    const auto e = service_error(call);
    EXPECT_EQ(e.status, 403);
    EXPECT_EQ(e.error_code, "AuthorizationFailure");
    EXPECT_EQ(std::string(e.what()).find(key), std::string::npos);
    EXPECT_EQ(std::string(e.what()).find(parse_connection_string(emulator::output_connection()).account_key),
              std::string::npos);
  }
  EXPECT_EQ(client.get_blob_client(name, "k.md").download(), "k");
}

TEST_F(Live, SasTokenFromTheConnectionString) {
  client.get_blob_client(name, "s/one.md").upload("one");
  const StorageConnection c = parse_connection_string(emulator::output_connection());
  // An account SAS for blobs: read, write, delete, list.
  const std::string sv = "2021-12-02", sp = "rwdl", ss = "b", srt = "sco", se = "2099-01-01T00:00:00Z";
  const std::string to_sign = c.account_name + "\n" + sp + "\n" + ss + "\n" + srt + "\n\n" + se + "\n\n\n" + sv + "\n\n";
  const std::string sig = shared_key_signature(c.account_key, to_sign);
  const std::string sas = "sv=" + sv + "&ss=" + ss + "&srt=" + srt + "&sp=" + sp + "&se=" +
                          shared::text::percent_encode(se, false) + "&sig=" + shared::text::percent_encode(sig, false);
  const BlobServiceClient via_sas =
      BlobServiceClient::from_connection_string("BlobEndpoint=" + c.blob_endpoint + ";SharedAccessSignature=" + sas);
  EXPECT_EQ(via_sas.get_blob_client(name, "s/one.md").download(), "one");
  via_sas.get_blob_client(name, "s/two.md").upload("two", {.content_type = "text/plain"});
  EXPECT_EQ(via_sas.get_container_client(name).list_blob_names("s/"),
            (std::vector<std::string>{"s/one.md", "s/two.md"}));
  EXPECT_TRUE(via_sas.get_blob_client(name, "s/two.md").exists());
  via_sas.get_blob_client(name, "s/two.md").delete_blob();
  EXPECT_FALSE(client.get_blob_client(name, "s/two.md").exists());

  // A token with a forged signature is refused, and the token is not shown.
  const std::string forged = sas.substr(0, sas.find("&sig=")) + "&sig=Zm9yZ2VkLXNpZ25hdHVyZQ%3D%3D";
  const BlobServiceClient bad =
      BlobServiceClient::from_connection_string("BlobEndpoint=" + c.blob_endpoint + ";SharedAccessSignature=" + forged);
  const auto e = service_error([&] { bad.get_blob_client(name, "s/one.md").download(); });
  EXPECT_EQ(e.status, 403);
  EXPECT_EQ(std::string(e.what()).find("Zm9yZ2Vk"), std::string::npos) << e.what();
}

TEST_F(Live, LargePayloadRoundTripsByteForByte) {
  const std::string data = emulator::random_bytes(24 * 1024 * 1024 + 13, 7);
  const BlobClient b = client.get_blob_client(name, "big/blob.bin");
  b.upload(data);
  EXPECT_EQ(b.get_properties().content_length, static_cast<long long>(data.size()));
  const std::string back = b.download();
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}
