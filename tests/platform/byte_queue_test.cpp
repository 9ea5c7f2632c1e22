#include "platform/byte_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "platform/thread.h"

namespace zorbent {
namespace {

TEST(ByteQueue, KeepsOrderAndTakesAllOrNothing) {
  ByteQueue q;
  const std::array<std::uint8_t, 3> in{1, 2, 3};
  q.Append(in);
  q.PushBack(4);
  EXPECT_EQ(q.Count(), 4u);
  std::array<std::uint8_t, 5> tooMany{};
  EXPECT_FALSE(q.TakeExactly(tooMany));
  EXPECT_EQ(q.Count(), 4u);  // nothing taken by a failed take
  std::array<std::uint8_t, 2> two{};
  ASSERT_TRUE(q.TakeExactly(two));
  EXPECT_EQ(two, (std::array<std::uint8_t, 2>{1, 2}));
  q.PopFront();
  EXPECT_EQ(q.Front(), 4);
  ASSERT_TRUE(q.TakeExactly(std::span(two).first(1)));  // exactly what is there
  EXPECT_TRUE(q.IsEmpty());
  q.Append(in);
  q.Clear();
  EXPECT_TRUE(q.IsEmpty());
}

// Waits end when the bytes come, when the queue is shut, or at their time-out.
TEST(ByteQueue, WaitsWakeOnDataAndOnShut) {
  ByteQueue q;
  EXPECT_FALSE(q.WaitForCount(1, 20));
  {
    Thread producer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      q.PushBack(7);
      q.PushBack(8);
    });
    EXPECT_TRUE(q.WaitForCount(2, 5000));
  }  // destruction waits for the thread
  EXPECT_EQ(q.Count(), 2u);
  Thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.Shut();
  });
  EXPECT_FALSE(q.WaitForCount(3, 60000));
  EXPECT_TRUE(q.IsShut());
  EXPECT_FALSE(q.WaitForCount(3, 60000));  // at once once shut
}

}  // namespace
}  // namespace zorbent
