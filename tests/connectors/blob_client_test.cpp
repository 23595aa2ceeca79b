#include "shared/connectors/blob_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"
#include "support/recording_transport.hpp"

using namespace shared::connectors;
using shared::net::Request;
using shared::net::Response;
using testing_support::RecordingTransport;

namespace {

// 2023-08-01T10:00:00Z
std::chrono::system_clock::time_point fixed_time() {
  return std::chrono::system_clock::time_point(std::chrono::seconds(1690884000));
}

const char* kDate = "Tue, 01 Aug 2023 10:00:00 GMT";

struct Fixture {
  std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
  BlobServiceClient client;
  explicit Fixture(const std::string& connection_string = "UseDevelopmentStorage=true", int max_results = 0)
      : client(BlobServiceClient::from_connection_string(
            connection_string, BlobClientOptions{transport, [] { return fixed_time(); }, max_results})) {}
  Request last() const { return transport->requests().back(); }
};

std::string header(const Request& r, const std::string& name) { return shared::net::header_value(r.headers, name); }

bool has_header(const Request& r, const std::string& name) {
  for (const auto& [n, v] : r.headers) {
    if (shared::text::ascii_lower(n) == shared::text::ascii_lower(name)) return true;
  }
  return false;
}

}  // namespace

TEST(BlobSigning, StringToSignBytes) {
  Request put{"PUT",
              "http://127.0.0.1:10000/devstoreaccount1/cont/dir/a%20b.txt",
              {{"x-ms-blob-type", "BlockBlob"},
               {"X-MS-Blob-Content-Type", " text/plain "},
               {"If-None-Match", "*"},
               {"x-ms-version", "2021-12-02"},
               {"x-ms-date", kDate}},
              "hello"};
  EXPECT_EQ(string_to_sign(put, "devstoreaccount1"),
            "PUT\n\n\n5\n\n\n\n\n\n*\n\n\n"
            "x-ms-blob-content-type:text/plain\nx-ms-blob-type:BlockBlob\n"
            "x-ms-date:Tue, 01 Aug 2023 10:00:00 GMT\nx-ms-version:2021-12-02\n"
            "/devstoreaccount1/devstoreaccount1/cont/dir/a%20b.txt");

  // Query names lower-cased and sorted, values decoded; an empty body signs
  // an empty Content-Length.
  Request list{"GET",
               "http://127.0.0.1:10000/devstoreaccount1/cont?restype=container&Comp=list&prefix=a%2Fb%20c%2F&marker=m%202",
               {{"x-ms-date", kDate}, {"x-ms-version", "2021-12-02"}},
               ""};
  EXPECT_EQ(string_to_sign(list, "devstoreaccount1"),
            "GET\n\n\n\n\n\n\n\n\n\n\n\n"
            "x-ms-date:Tue, 01 Aug 2023 10:00:00 GMT\nx-ms-version:2021-12-02\n"
            "/devstoreaccount1/devstoreaccount1/cont\ncomp:list\nmarker:m 2\nprefix:a/b c/\nrestype:container");

  Request head{"HEAD", "https://acct.blob.core.windows.net/c/%2Flead", {{"Content-Type", "x/y"}, {"Range", "bytes=0-1"}}, ""};
  EXPECT_EQ(string_to_sign(head, "acct"), "HEAD\n\n\n\n\nx/y\n\n\n\n\n\nbytes=0-1\n/acct/c/%2Flead");

  Request root{"GET", "https://acct.blob.core.windows.net?comp=list", {}, ""};
  EXPECT_EQ(string_to_sign(root, "acct"), "GET\n\n\n\n\n\n\n\n\n\n\n\n/acct/\ncomp:list");
}

TEST(BlobSigning, SignatureVectors) {
  // Expected values computed independently (Python hmac over the same bytes).
  EXPECT_EQ(shared_key_signature(DEVELOPMENT_ACCOUNT_KEY,
                                 "PUT\n\n\n5\n\n\n\n\n\n*\n\n\n"
                                 "x-ms-blob-content-type:text/plain\nx-ms-blob-type:BlockBlob\n"
                                 "x-ms-date:Tue, 01 Aug 2023 10:00:00 GMT\nx-ms-version:2021-12-02\n"
                                 "/devstoreaccount1/devstoreaccount1/cont/dir/a%20b.txt"),
            "EQgs+SZIC4oL8xkoJlcN0kFxZFAmoHfOjHNcOdM29lM=");
  // Keys whose Base64 form ends in "=" and "==": the padding is no key byte.
  EXPECT_EQ(shared_key_signature("YWI=", "text"), "nmB1icEnVdWWAfdHd8C59Z4MoH1jHoMhx73VLCJOQjU=");
  EXPECT_EQ(shared_key_signature("YQ==", "text"), "SsZKZPtOCGtq/jaF2mEw27VRuEsn9eNUBTt4kGgE81c=");
  EXPECT_THROW(shared_key_signature("not base64!", "text"), shared::ValueError);
}

TEST(BlobSigning, ClientSignsWhatItSends) {
  Fixture f;
  f.transport->set_handler([](const Request&) { return Response{201, {}, ""}; });
  f.client.get_blob_client("cont", "dir/a b.txt").upload("hello", {.overwrite = false, .content_type = "text/plain"});
  const Request r = f.last();
  EXPECT_EQ(r.method, "PUT");
  EXPECT_EQ(r.url, "http://127.0.0.1:10000/devstoreaccount1/cont/dir/a%20b.txt");
  EXPECT_EQ(r.body, "hello");
  EXPECT_EQ(header(r, "x-ms-date"), kDate);
  EXPECT_EQ(header(r, "x-ms-version"), "2021-12-02");
  EXPECT_EQ(header(r, "Authorization"), "SharedKey devstoreaccount1:EQgs+SZIC4oL8xkoJlcN0kFxZFAmoHfOjHNcOdM29lM=");

  f.transport->set_handler([](const Request&) {
    return Response{200, {}, "<EnumerationResults><Blobs/><NextMarker/></EnumerationResults>"};
  });
  EXPECT_TRUE(f.client.get_container_client("cont").list_blobs("a/b c/").empty());
  EXPECT_EQ(f.last().url, "http://127.0.0.1:10000/devstoreaccount1/cont?restype=container&comp=list&prefix=a%2Fb%20c%2F");
}

TEST(BlobSigning, Rfc1123Dates) {
  EXPECT_EQ(rfc1123_date(fixed_time()), kDate);
  EXPECT_EQ(rfc1123_date(std::chrono::system_clock::time_point{}), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(rfc1123_date(std::chrono::system_clock::time_point(std::chrono::seconds(951782400))),
            "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(ConnectionString, Parsing) {
  struct Case {
    std::string text;
    std::string account, key, sas, endpoint, queue = {};
  };
  const std::vector<Case> cases = {
      {"UseDevelopmentStorage=true", "devstoreaccount1", DEVELOPMENT_ACCOUNT_KEY, "",
       "http://127.0.0.1:10000/devstoreaccount1"},
      {"usedevelopmentstorage=True;", "devstoreaccount1", DEVELOPMENT_ACCOUNT_KEY, "",
       "http://127.0.0.1:10000/devstoreaccount1"},
      {"DefaultEndpointsProtocol=https;AccountName=acct;AccountKey=YWI=;EndpointSuffix=core.windows.net", "acct",
       "YWI=", "", "https://acct.blob.core.windows.net"},
      {"AccountName=acct;AccountKey=YQ==", "acct", "YQ==", "", "https://acct.blob.core.windows.net"},
      {" accountname = acct ; ACCOUNTKEY=YWJj;DefaultEndpointsProtocol=HTTP;EndpointSuffix=core.chinacloudapi.cn;;",
       "acct", "YWJj", "", "http://acct.blob.core.chinacloudapi.cn"},
      {"DefaultEndpointsProtocol=http;AccountName=kestoout;AccountKey=YWI=;BlobEndpoint=http://127.0.0.1:4711/kestoout/;",
       "kestoout", "YWI=", "", "http://127.0.0.1:4711/kestoout"},
      {"BlobEndpoint=https://acct.blob.core.windows.net/;SharedAccessSignature=?sv=2021-12-02&ss=b&sig=ab%2Bc%3D", "",
       "", "sv=2021-12-02&ss=b&sig=ab%2Bc%3D", "https://acct.blob.core.windows.net"},
      {"AccountName=acct;SharedAccessSignature=sv=1&sig=x", "acct", "", "sv=1&sig=x", "https://acct.blob.core.windows.net"},
      // No key and no SAS: signed in with tokens.
      {"AccountName=acct", "acct", "", "", "https://acct.blob.core.windows.net", "https://acct.queue.core.windows.net"},
      {"BlobEndpoint=https://127.0.0.1:4711/kestoout;QueueEndpoint=https://127.0.0.1:4712/kestoout", "", "", "",
       "https://127.0.0.1:4711/kestoout", "https://127.0.0.1:4712/kestoout"},
      {" https://acct.blob.core.windows.net/ ", "acct", "", "", "https://acct.blob.core.windows.net",
       "https://acct.queue.core.windows.net"},
      {"https://127.0.0.1:4711/kestoout", "", "", "", "https://127.0.0.1:4711/kestoout", ""},
      {"https://acct.blob.core.usgovcloudapi.net?sv=1&sig=x", "acct", "", "sv=1&sig=x",
       "https://acct.blob.core.usgovcloudapi.net", "https://acct.queue.core.usgovcloudapi.net"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const StorageConnection s = parse_connection_string(c.text);
    EXPECT_EQ(s.account_name, c.account);
    EXPECT_EQ(s.account_key, c.key);
    EXPECT_EQ(s.sas_token, c.sas);
    EXPECT_EQ(s.blob_endpoint, c.endpoint);
    if (!c.queue.empty()) {
      EXPECT_EQ(s.queue_endpoint, c.queue);
    }
    EXPECT_EQ(s.uses_token(), c.key.empty() && c.sas.empty());
  }
}

TEST(ConnectionString, RejectedWithoutQuotingSecrets) {
  struct Case {
    std::string text, message;
  };
  const std::vector<Case> cases = {
      {"", "Connection string names neither AccountName nor BlobEndpoint"},
      {"just-some-text-SECRET", "Connection string is malformed: every part must be NAME=VALUE, separated by ';'"},
      {"AccountName=a;=SECRET", "Connection string is malformed: every part must be NAME=VALUE, separated by ';'"},
      {"AccountName=a;AccountKey=SECRET!xyz", "Connection string: AccountKey is not valid Base64"},
      {"AccountName=a;AccountKey=SECRET=xy", "Connection string: AccountKey is not valid Base64"},
      {"AccountKey=U0VDUkVU", "Connection string names neither AccountName nor BlobEndpoint"},
      {"BlobEndpoint=http://h/x;AccountKey=U0VDUkVU", "Connection string has an AccountKey but no AccountName"},
      {"BlobEndpoint=ftp://h/x;SharedAccessSignature=sig=SECRET", "Connection string: the blob endpoint must be an http:// or https:// URL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      parse_connection_string(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(BlobClient, SasTokenGoesIntoTheQueryAndNoAuthorization) {
  Fixture f("BlobEndpoint=https://acct.blob.core.windows.net;SharedAccessSignature=sv=2021-12-02&sig=ab%2Bc%3D");
  f.transport->set_handler([](const Request&) { return Response{200, {}, "data"}; });
  EXPECT_EQ(f.client.get_blob_client("c", "x/y.md").download(), "data");
  EXPECT_EQ(f.last().url, "https://acct.blob.core.windows.net/c/x/y.md?sv=2021-12-02&sig=ab%2Bc%3D");
  EXPECT_EQ(header(f.last(), "Authorization"), "");
  EXPECT_EQ(header(f.last(), "x-ms-version"), "2021-12-02");

  f.transport->set_handler([](const Request&) {
    return Response{200, {}, "<EnumerationResults><Blobs/><NextMarker/></EnumerationResults>"};
  });
  f.client.get_container_client("c").list_blobs("p/");
  EXPECT_EQ(f.last().url,
            "https://acct.blob.core.windows.net/c?restype=container&comp=list&prefix=p%2F&sv=2021-12-02&sig=ab%2Bc%3D");
}

TEST(BlobClient, RequestsPerOperation) {
  Fixture f("AccountName=acct;AccountKey=YWI=");
  f.transport->set_handler([](const Request& r) {
    if (r.method == "PUT") return Response{201, {}, ""};
    if (r.method == "DELETE") return Response{202, {}, ""};
    return Response{200, {{"Content-Length", "12"}, {"Content-Type", "text/markdown"}, {"ETag", "\"0x1\""},
                          {"Last-Modified", kDate}},
                    ""};
  });
  const BlobClient b = f.client.get_blob_client("c", "/lead/ä.md");
  EXPECT_EQ(b.url(), "https://acct.blob.core.windows.net/c//lead/%C3%A4.md");

  b.upload(std::string("a\0b", 3));
  Request r = f.last();
  EXPECT_EQ(r.body, std::string("a\0b", 3));
  EXPECT_EQ(header(r, "x-ms-blob-type"), "BlockBlob");
  EXPECT_FALSE(has_header(r, "x-ms-blob-content-type"));
  EXPECT_FALSE(has_header(r, "If-None-Match"));

  b.upload("", {.overwrite = false, .content_type = ""});
  r = f.last();
  EXPECT_EQ(r.body, "");
  EXPECT_FALSE(has_header(r, "x-ms-blob-content-type"));
  EXPECT_EQ(header(r, "If-None-Match"), "*");

  b.delete_blob();
  EXPECT_EQ(f.last().method, "DELETE");
  EXPECT_EQ(f.last().url, "https://acct.blob.core.windows.net/c//lead/%C3%A4.md");

  const BlobInfo info = b.get_properties();
  EXPECT_EQ(f.last().method, "HEAD");
  EXPECT_EQ(info.content_length, 12);
  EXPECT_EQ(info.content_type, "text/markdown");
  EXPECT_EQ(info.etag, "\"0x1\"");
  EXPECT_EQ(info.last_modified, kDate);

  EXPECT_TRUE(f.client.get_container_client("new-one").create());
  EXPECT_EQ(f.last().url, "https://acct.blob.core.windows.net/new-one?restype=container");
  EXPECT_EQ(f.last().method, "PUT");

  try {
    f.client.get_blob_client("", "x");
    ADD_FAILURE() << "empty container accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "Please specify a container name and blob name.");
  }
  EXPECT_THROW(f.client.get_blob_client("c", ""), shared::ValueError);
  EXPECT_THROW(f.client.get_container_client(""), shared::ValueError);
}

TEST(BlobClient, ExistsAnswers) {
  struct Case {
    Response response;
    int expected;  // 1 true, 0 false, -1 error
    std::string message;
  };
  const std::vector<Case> cases = {
      {{200, {}, ""}, 1, ""},
      {{404, {{"x-ms-error-code", "BlobNotFound"}}, ""}, 0, ""},
      {{404, {{"x-ms-error-code", "ContainerNotFound"}}, ""}, -1, "exists 'c/b' failed: 404 ContainerNotFound: Not Found"},
      {{404, {}, ""}, -1, "exists 'c/b' failed: 404: Not Found"},
      {{403, {{"x-ms-error-code", "AuthorizationFailure"}}, ""}, -1,
       "exists 'c/b' failed: 403 AuthorizationFailure: Forbidden"},
      {{503, {{"x-ms-error-code", "ServerBusy"}}, ""}, -1, "exists 'c/b' failed: 503 ServerBusy: Service Unavailable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response.status);
    Fixture f;
    f.transport->set_handler([&](const Request&) { return c.response; });
    const BlobClient b = f.client.get_blob_client("c", "b");
    if (c.expected >= 0) {
      EXPECT_EQ(b.exists(), c.expected == 1);
      continue;
    }
    try {
      b.exists();
      ADD_FAILURE() << "no error";
    } catch (const shared::ServiceError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.status, c.response.status);
      EXPECT_EQ(e.error_code, c.response.header("x-ms-error-code"));
    }
    EXPECT_EQ(f.last().method, "HEAD");
  }
}

TEST(BlobClient, ServiceErrorsCarryStatusCodeAndFirstMessageLine) {
  const std::string key = "c2VjcmV0LWtleS1ieXRlcw==";
  const std::string not_found =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>BlobNotFound</Code>"
      "<Message>The specified blob does not exist.\nRequestId:42\nTime:2023-08-01T10:00:00Z</Message></Error>";
  struct Case {
    Response response;
    std::string message, code;
  };
  const std::vector<Case> cases = {
      {{404, {{"x-ms-error-code", "BlobNotFound"}}, not_found},
       "download 'c/b.md' failed: 404 BlobNotFound: The specified blob does not exist.", "BlobNotFound"},
      // The code is taken from the body when the header is missing.
      {{404, {}, not_found}, "download 'c/b.md' failed: 404 BlobNotFound: The specified blob does not exist.",
       "BlobNotFound"},
      {{500, {}, "<html>oops</html>"}, "download 'c/b.md' failed: 500: Internal Server Error", ""},
      {{418, {}, "not xml at all"}, "download 'c/b.md' failed: 418: HTTP error", ""},
      {{403, {{"x-ms-error-code", "AuthenticationFailed"}},
        "<Error><Code>AuthenticationFailed</Code><Message>Key " + key +
            " rejected, sig=s%2Fg and s/g</Message></Error>"},
       "download 'c/b.md' failed: 403 AuthenticationFailed: Key *** rejected, sig=*** and ***", "AuthenticationFailed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Fixture f("AccountName=acct;AccountKey=" + key + ";SharedAccessSignature=sv=1&sig=s%2Fg");
    f.transport->set_handler([&](const Request&) { return c.response; });
    try {
      f.client.get_blob_client("c", "b.md").download();
      ADD_FAILURE() << "no error";
    } catch (const shared::ServiceError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.status, c.response.status);
      EXPECT_EQ(e.error_code, c.code);
    }
  }
}

TEST(BlobClient, UploadConflictAndTransportFailurePassThrough) {
  Fixture f;
  f.transport->set_handler([](const Request&) {
    return Response{409,
                    {{"x-ms-error-code", "BlobAlreadyExists"}},
                    "<Error><Code>BlobAlreadyExists</Code><Message>The specified blob already exists.</Message></Error>"};
  });
  try {
    f.client.get_blob_client("c", "x").upload("1", {.overwrite = false});
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_STREQ(e.what(), "upload 'c/x' failed: 409 BlobAlreadyExists: The specified blob already exists.");
    EXPECT_EQ(e.status, 409);
  }
  f.transport->set_handler([](const Request&) -> Response { throw shared::TransportError("no route"); });
  EXPECT_THROW(f.client.get_blob_client("c", "x").download(), shared::TransportError);
}

TEST(BlobClient, ListingFollowsEveryMarker) {
  Fixture f("UseDevelopmentStorage=true", 2);
  f.transport->set_handler([](const Request& r) {
    if (r.url.find("marker=") == std::string::npos) {
      return Response{200, {},
                      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><EnumerationResults ContainerName=\"c\">"
                      "<Prefix>f/</Prefix><MaxResults>2</MaxResults><Blobs>"
                      "<Blob><Name>f/a.md</Name><Properties><Content-Length>3</Content-Length>"
                      "<Content-Type>text/markdown</Content-Type><Etag>0x1</Etag></Properties></Blob>"
                      "<Blob><Name Encoded=\"true\">f/%EF%BF%BEodd</Name><Properties/></Blob>"
                      "</Blobs><NextMarker>2!f/b &amp; c</NextMarker></EnumerationResults>"};
    }
    return Response{200, {},
                    "<EnumerationResults><Blobs><Blob><Name>f/z &lt;1&gt;.json</Name></Blob></Blobs><NextMarker />"
                    "</EnumerationResults>"};
  });
  const auto blobs = f.client.get_container_client("c").list_blobs("f/");
  ASSERT_EQ(blobs.size(), 3u);
  EXPECT_EQ(blobs[0].name, "f/a.md");
  EXPECT_EQ(blobs[0].content_length, 3);
  EXPECT_EQ(blobs[0].content_type, "text/markdown");
  EXPECT_EQ(blobs[1].name, "f/\xEF\xBF\xBEodd");
  EXPECT_EQ(blobs[2].name, "f/z <1>.json");
  const auto requests = f.transport->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url,
            "http://127.0.0.1:10000/devstoreaccount1/c?restype=container&comp=list&prefix=f%2F&maxresults=2");
  EXPECT_EQ(requests[1].url,
            "http://127.0.0.1:10000/devstoreaccount1/c?restype=container&comp=list&prefix=f%2F&marker=2%21f%2Fb%20%26%20c"
            "&maxresults=2");
}

TEST(BlobClient, ListingThatNeverEndsOrIsUnreadableFails) {
  Fixture f;
  f.transport->set_handler([](const Request&) {
    return Response{200, {}, "<EnumerationResults><Blobs/><NextMarker>same</NextMarker></EnumerationResults>"};
  });
  try {
    f.client.get_container_client("c").list_blobs("p/");
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_STREQ(e.what(), "list 'c' prefix 'p/' failed: the service repeated the continuation marker");
  }
  EXPECT_EQ(f.transport->requests().size(), 2u);

  f.transport->set_handler([](const Request&) { return Response{200, {}, "<html/>"}; });
  try {
    f.client.get_container_client("c").list_blobs("p/");
    ADD_FAILURE() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_STREQ(e.what(), "list 'c' prefix 'p/' failed: the service answered with an unreadable listing");
  }
}

TEST(BlobClient, NamesWithDotSegmentsAreRefusedBeforeAnyRequest) {
  Fixture f("AccountName=acct;AccountKey=YWI=");
  // Sent as they are, such names would be left to whatever resolves dot
  // segments (or takes a backslash for a slash) on the way: another folder.
  for (const char* bad : {"docs/../markdown/x.md", "../x.md", "./x.md", "docs/.", "docs/..", "a\\..\\b.md", "a/.\\b"}) {
    EXPECT_THROW(f.client.get_blob_client("c", bad), shared::ValueError) << bad;
  }
  for (const char* fine : {"a..b/c.d.md", "..x/y", "x./y.", ".docx", "docs/.hidden", "a...b"}) {
    EXPECT_NO_THROW(f.client.get_blob_client("c", fine)) << fine;
  }
  EXPECT_TRUE(f.transport->requests().empty());
}

TEST(BlobClient, TagsOnUploadAndFindBlobsByTagsFollowsEveryMarker) {
  Fixture f("UseDevelopmentStorage=true", 1);
  f.transport->set_handler([](const Request& r) {
    if (r.method == "PUT") return Response{201, {{"ETag", "\"0x1\""}}, ""};
    if (r.url.find("marker=") == std::string::npos) {
      return Response{200, {},
                      "<EnumerationResults><Where>x</Where><Blobs><Blob><Name>f/a.md</Name>"
                      "<ContainerName>c</ContainerName><Tags><TagSet><Tag><Key>kesto_qd</Key><Value>QD-1</Value>"
                      "</Tag></TagSet></Tags></Blob><Blob><Name>f/other.md</Name><ContainerName>d</ContainerName>"
                      "</Blob></Blobs><NextMarker>m1</NextMarker></EnumerationResults>"};
    }
    return Response{200, {},
                    "<EnumerationResults><Blobs><Blob><Name>f/b &amp; c.md</Name><ContainerName>c</ContainerName>"
                    "</Blob></Blobs><NextMarker /></EnumerationResults>"};
  });
  f.client.get_blob_client("c", "f/a.md").upload("x", {.tags = {{"kesto_qd", "QD-1"}, {"a b", "c&d"}}});
  EXPECT_EQ(header(f.last(), "x-ms-tags"), "kesto_qd=QD-1&a%20b=c%26d");
  f.client.get_blob_client("c", "f/b.md").upload("x");
  EXPECT_FALSE(has_header(f.last(), "x-ms-tags"));

  const auto found = f.client.get_container_client("c").find_blobs_by_tags("\"kesto_qd\"='QD-1'");
  ASSERT_EQ(found.size(), 2u);  // another container's answer is not this one's
  EXPECT_EQ(found[0].name, "f/a.md");
  EXPECT_EQ(found[0].tags, (shared::connectors::BlobTags{{"kesto_qd", "QD-1"}}));
  EXPECT_EQ(found[1].name, "f/b & c.md");
  const auto requests = f.transport->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].url,
            "http://127.0.0.1:10000/devstoreaccount1/c?restype=container&comp=blobs&where=%22kesto_qd%22%3D%27QD-1%27"
            "&maxresults=1");
  EXPECT_NE(requests[3].url.find("&marker=m1"), std::string::npos) << requests[3].url;
}
