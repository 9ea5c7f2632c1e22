#include "platform/byte_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "platform/thread.h"

namespace zorbent {
namespace {

TEST(ByteQueue, KeepsOrderAndTakesAllOrNothing) {
  ByteQueue q;
  q.Clear();
  EXPECT_TRUE(q.IsEmpty());
  const std::array<std::uint8_t, 3> in{1, 2, 3};
  q.Append(in);
  q.PushBack(4);
  EXPECT_EQ(q.Count(), 4u);
  EXPECT_EQ(q.Front(), 1);
  std::array<std::uint8_t, 5> tooMany{};
  EXPECT_FALSE(q.TakeExactly(tooMany));
  EXPECT_EQ(q.Count(), 4u);  // nothing taken by a failed take
  std::array<std::uint8_t, 2> two{};
  ASSERT_TRUE(q.TakeExactly(two));
  EXPECT_EQ(two[0], 1);
  EXPECT_EQ(two[1], 2);
  q.PopFront();
  EXPECT_EQ(q.Front(), 4);
}

TEST(ByteQueue, WaitWakesOnDataAndTimesOutWithout) {
  ByteQueue q;
  EXPECT_FALSE(q.WaitForCount(1, 20));
  Thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.PushBack(7);
    q.PushBack(8);
  });
  EXPECT_TRUE(q.WaitForCount(2, 5000));
  EXPECT_EQ(q.Count(), 2u);
}

TEST(ByteQueue, ShutEndsWaitsAtOnce) {
  ByteQueue q;
  Thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.Shut();
  });
  EXPECT_FALSE(q.WaitForCount(1, 60000));  // returns long before its time-out
  EXPECT_TRUE(q.IsShut());
}

TEST(ThreadTest, DestructionWaitsForTheFunction) {
  bool done = false;
  {
    Thread t([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      done = true;
    });
  }
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace zorbent
