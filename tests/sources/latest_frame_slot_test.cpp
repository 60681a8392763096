#include "sources/latest_frame_slot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tessvark {
namespace {

VideoFrame MakeFrame(std::int64_t generation) {
  VideoFrame frame;
  frame.image = cv::Mat(4, 6, CV_8UC3, cv::Scalar(1, 2, 3));
  frame.width = 6;
  frame.height = 4;
  frame.row_stride = 18;
  frame.source = "srt-1";
  frame.source_generation = generation;
  return frame;
}

TEST(LatestFrameSlot, KeepsOnlyTheNewestFrameAndCountsReplacements) {
  LatestFrameSlot slot;
  const cv::Mat first_pixels = MakeFrame(1).image;
  VideoFrame first = MakeFrame(1);
  first.image = first_pixels;
  const auto stored_first = slot.Publish(std::move(first));
  ASSERT_TRUE(stored_first);
  EXPECT_EQ(stored_first->sequence, 1);
  EXPECT_EQ(stored_first->image.data, first_pixels.data) << "the picture is shared, not copied";

  slot.Publish(MakeFrame(2));
  const auto newest = slot.Publish(MakeFrame(3));
  EXPECT_EQ(newest->sequence, 3);
  EXPECT_EQ(slot.Latest(), newest);
  EXPECT_EQ(slot.Replaced(), 2);
  EXPECT_EQ(stored_first->source_generation, 1) << "a reader's frame stays valid after replacement";
}

TEST(LatestFrameSlot, ClearKeepsCountersAndCloseRefusesLaterFrames) {
  LatestFrameSlot slot;
  slot.Publish(MakeFrame(1));
  slot.Clear();
  EXPECT_FALSE(slot.Latest());
  EXPECT_EQ(slot.Publish(MakeFrame(1))->sequence, 2) << "the sequence is never reset";
  EXPECT_EQ(slot.Replaced(), 0) << "a publish after a clear found no frame";

  slot.Close();
  EXPECT_TRUE(slot.IsClosed());
  EXPECT_FALSE(slot.Latest());
  EXPECT_FALSE(slot.Publish(MakeFrame(1)));
  EXPECT_EQ(slot.Sequence(), 2);
}

TEST(LatestFrameSlot, WaitForNewerWakesOnPublishAndOnClose) {
  LatestFrameSlot slot;
  slot.Publish(MakeFrame(1));
  {
    MutexLock lock(slot.SlotMutex());
    EXPECT_TRUE(slot.WaitForNewer(0, 0)) << "a held frame newer than the last seen one";
    EXPECT_FALSE(slot.WaitForNewer(20, 1)) << "nothing newer arrives";
  }
  std::thread publisher([&slot] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    slot.Publish(MakeFrame(7));
  });
  {
    MutexLock lock(slot.SlotMutex());
    ASSERT_TRUE(slot.WaitForNewer(60000, 1));
    EXPECT_EQ(slot.HeldFrame()->source_generation, 7);
  }
  publisher.join();

  std::thread closer([&slot] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    slot.Close();
  });
  MutexLock lock(slot.SlotMutex());
  EXPECT_TRUE(slot.WaitForNewer(INT64_MAX, 2)) << "close wakes a waiter with the largest timeout";
  EXPECT_FALSE(slot.HeldFrame());
  lock.Unlock();
  closer.join();
}

}  // namespace
}  // namespace tessvark
