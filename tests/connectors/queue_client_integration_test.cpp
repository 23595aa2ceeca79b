// The queue client against the storage emulator's queue service.
#include <gtest/gtest.h>

#include <thread>

#include "connectors/emulator.hpp"
#include "shared/connectors/queue_client.hpp"
#include "shared/errors.hpp"

using namespace shared::connectors;

namespace {

class LiveQueue : public ::testing::Test {
 protected:
  LiveQueue()
      : service(QueueServiceClient::from_connection_string(emulator::output_connection())),
        queue(service.get_queue_client(emulator::unique_container("q"))) {
    EXPECT_TRUE(queue.create());
  }
  ~LiveQueue() override {
    try {
      queue.delete_queue();
    } catch (const std::exception&) {
    }
  }
  QueueServiceClient service;
  QueueClient queue;
};

}  // namespace

TEST_F(LiveQueue, RoundTripVisibilityAndDequeueCount) {
  EXPECT_FALSE(queue.create());
  EXPECT_TRUE(queue.exists());
  const std::string text = "{\"action\":\"process\",\"doc\":{\"document_name\":\"Reinigung \xC3\xA4 <&>\"}}";
  queue.put_message(text);
  queue.put_message("second");
  EXPECT_EQ(queue.approximate_message_count(), 2);

  auto first = queue.get_messages(1, 30);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].text, text);
  EXPECT_EQ(first[0].dequeue_count, 1);
  // Hidden from others while taken: only the second is visible.
  const auto peeked = queue.peek_messages(32);
  ASSERT_EQ(peeked.size(), 1u);
  EXPECT_EQ(peeked[0].text, "second");

  // Handing it back at once makes it visible again, counted once more when
  // taken; the old pop receipt no longer deletes it.
  const std::string receipt = queue.update_message(first[0].id, first[0].pop_receipt, 0, std::string("changed"));
  EXPECT_NE(receipt, first[0].pop_receipt);
  EXPECT_FALSE(queue.delete_message(first[0].id, first[0].pop_receipt));
  auto again = queue.get_messages(32, 30);
  ASSERT_EQ(again.size(), 2u);
  const auto& changed = again[0].id == first[0].id ? again[0] : again[1];
  EXPECT_EQ(changed.text, "changed");
  EXPECT_EQ(changed.dequeue_count, 2);

  // A renewal keeps it hidden past its first timeout.
  auto renewed = queue.update_message(changed.id, changed.pop_receipt, 30);
  for (const auto& m : again) {
    EXPECT_TRUE(queue.delete_message(m.id, m.id == changed.id ? renewed : m.pop_receipt));
  }
  EXPECT_TRUE(queue.get_messages(32, 1).empty());
  EXPECT_EQ(queue.approximate_message_count(), 0);
}

TEST_F(LiveQueue, ShortVisibilityEnds) {
  queue.put_message("x");
  ASSERT_EQ(queue.get_messages(1, 1).size(), 1u);
  EXPECT_TRUE(queue.get_messages(1, 1).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  const auto back = queue.get_messages(1, 1);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].dequeue_count, 2);
}

TEST_F(LiveQueue, WrongKeyIsRefusedWithoutShowingIt) {
  StorageConnection c = parse_connection_string(emulator::output_connection());
  c.account_key = "d3Jvbmcta2V5LW9mLWEtdGVzdC13aG9zZS10ZXh0LW11c3Qtbm90LWxlYWs=";
  const QueueServiceClient wrong(c);
  try {
    wrong.get_queue_client(queue.queue_name()).put_message("x");
    FAIL() << "accepted";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 403);
    EXPECT_EQ(std::string(e.what()).find(c.account_key), std::string::npos) << e.what();
  }
  EXPECT_EQ(queue.approximate_message_count(), 0);
}
