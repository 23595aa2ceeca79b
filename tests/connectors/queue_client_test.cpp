#include <gtest/gtest.h>

#include <memory>

#include "shared/connectors/blob_client.hpp"
#include "shared/connectors/queue_client.hpp"
#include "shared/errors.hpp"
#include "support/recording_transport.hpp"

using namespace shared::connectors;
using shared::net::Request;
using shared::net::Response;

namespace {

const char* kKey = "c2VjcmV0LWtleS1vZi10aGUtdGVzdC1hY2NvdW50LTAxMjM0NTY3ODk=";

std::string connection() {
  return std::string("DefaultEndpointsProtocol=http;AccountName=acct;AccountKey=") + kKey +
         ";BlobEndpoint=http://127.0.0.1:1/acct;QueueEndpoint=http://127.0.0.1:2/acct;";
}

struct Fixture {
  std::shared_ptr<testing_support::RecordingTransport> transport = std::make_shared<testing_support::RecordingTransport>();
  QueueServiceClient service = QueueServiceClient::from_connection_string(
      connection(), {.transport = transport, .clock = [] { return std::chrono::system_clock::time_point{}; }});
  QueueClient queue = service.get_queue_client("work-items");
};

}  // namespace

TEST(QueueConnection, EndpointNamedDerivedOrDevelopment) {
  EXPECT_EQ(parse_connection_string(connection()).queue_endpoint, "http://127.0.0.1:2/acct");
  EXPECT_EQ(parse_connection_string(std::string("AccountName=acct;AccountKey=") + kKey + ";EndpointSuffix=core.example")
                .queue_endpoint,
            "https://acct.queue.core.example");
  EXPECT_EQ(parse_connection_string("UseDevelopmentStorage=true").queue_endpoint,
            "http://127.0.0.1:10001/devstoreaccount1");
  EXPECT_THROW(parse_connection_string(std::string("AccountName=a;AccountKey=") + kKey + ";QueueEndpoint=ftp://x"),
               shared::ValueError);
  // A SAS-only string with a blob endpoint names no queue service.
  const StorageConnection sas = parse_connection_string("BlobEndpoint=http://h/a;SharedAccessSignature=sv=1&sig=x");
  EXPECT_EQ(sas.queue_endpoint, "");
  EXPECT_THROW(QueueServiceClient(sas, {}), shared::ValueError);
  for (const char* bad : {"ab", "Upper", "-lead", "trail-", "two--dashes", "under_score"}) {
    EXPECT_THROW(Fixture().service.get_queue_client(bad), shared::ValueError) << bad;
  }
}

TEST(QueueClientWire, RequestsAreSignedAndShapedAsTheServiceExpects) {
  Fixture f;
  f.transport->set_handler([](const Request& r) {
    if (r.method == "POST") {
      return Response{201, {}, "<?xml version=\"1.0\"?><QueueMessagesList><QueueMessage><MessageId>m-1</MessageId>"
                               "<PopReceipt>AgAAAA+/=</PopReceipt><InsertionTime>t</InsertionTime></QueueMessage>"
                               "</QueueMessagesList>"};
    }
    if (r.method == "PUT") return Response{204, {{"x-ms-popreceipt", "new/receipt="}}, ""};
    return Response{204, {}, ""};
  });
  const QueueMessage m = f.queue.put_message("{\"a\":1}\n\xC3\xA4", -1, 0);
  EXPECT_EQ(m.id, "m-1");
  EXPECT_EQ(m.pop_receipt, "AgAAAA+/=");
  EXPECT_EQ(f.queue.update_message(m.id, m.pop_receipt, 30, std::string("x")), "new/receipt=");
  EXPECT_TRUE(f.queue.delete_message(m.id, "new/receipt="));

  const auto reqs = f.transport->requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].url, "http://127.0.0.1:2/acct/work-items/messages?visibilitytimeout=0&messagettl=-1");
  // The text travels Base64-encoded inside the XML envelope.
  EXPECT_NE(reqs[0].body.find("<MessageText>eyJhIjoxfQrDpA==</MessageText>"), std::string::npos) << reqs[0].body;
  // Pop receipts hold "+", "/" and "=": percent-encoded in the URL, signed decoded.
  EXPECT_EQ(reqs[1].url, "http://127.0.0.1:2/acct/work-items/messages/m-1?popreceipt=AgAAAA%2B%2F%3D&visibilitytimeout=30");
  EXPECT_EQ(reqs[2].url, "http://127.0.0.1:2/acct/work-items/messages/m-1?popreceipt=new%2Freceipt%3D");
  const std::string sts = string_to_sign(reqs[1], "acct");
  EXPECT_NE(sts.find("\n/acct/acct/work-items/messages/m-1\npopreceipt:AgAAAA+/=\nvisibilitytimeout:30"),
            std::string::npos)
      << sts;
  for (const Request& r : reqs) {
    const std::string auth = shared::net::header_value(r.headers, "Authorization");
    EXPECT_EQ(auth, "SharedKey acct:" + shared_key_signature(kKey, string_to_sign(r, "acct")));
    EXPECT_EQ(shared::net::header_value(r.headers, "x-ms-version"), BLOB_API_VERSION);
  }
}

TEST(QueueClientWire, MessagesAreReadAndFailuresMapped) {
  Fixture f;
  f.transport->set_handler([](const Request& r) {
    if (r.url.find("numofmessages") != std::string::npos) {
      return Response{200, {}, "<QueueMessagesList><QueueMessage><MessageId>a</MessageId><PopReceipt>p</PopReceipt>"
                               "<DequeueCount>3</DequeueCount><MessageText>aGVsbG8=</MessageText></QueueMessage>"
                               "<QueueMessage><MessageId>b</MessageId><DequeueCount>1</DequeueCount>"
                               "<MessageText>not base64!</MessageText></QueueMessage></QueueMessagesList>"};
    }
    if (r.method == "DELETE") return Response{404, {{"x-ms-error-code", "MessageNotFound"}}, ""};
    return Response{403,
                    {{"x-ms-error-code", "AuthenticationFailed"}},
                    std::string("<Error><Code>AuthenticationFailed</Code><Message>bad signature for key ") + kKey +
                        "\nRequestId:1</Message></Error>"};
  });
  const auto got = f.queue.get_messages(2, 45);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "hello");
  EXPECT_EQ(got[0].dequeue_count, 3);
  EXPECT_EQ(got[1].text, "not base64!");
  EXPECT_NE(f.transport->requests()[0].url.find("numofmessages=2&visibilitytimeout=45"), std::string::npos);
  EXPECT_FALSE(f.queue.delete_message("a", "p"));
  try {
    f.queue.approximate_message_count();
    FAIL() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 403);
    EXPECT_EQ(e.error_code, "AuthenticationFailed");
    EXPECT_EQ(std::string(e.what()).find(kKey), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("count messages of 'work-items' failed: 403 AuthenticationFailed", 0), 0u)
        << e.what();
  }
  EXPECT_THROW(f.queue.get_messages(33, 1), shared::ValueError);
  EXPECT_THROW(f.queue.put_message(std::string(QUEUE_MESSAGE_MAX_TEXT + 1, 'x')), shared::ValueError);
}
