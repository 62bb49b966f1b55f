#include "host/storage/background_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A sink that records what it is given, can be held shut, and fails the
// block with a given number (counting from 1).
struct Recording_Sink {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = true;
  int fail_at = 0;
  std::vector<std::string> blocks;
  std::atomic<int> calls{0};

  Background_Writer::Sink sink() {
    return [this](const char* p, std::size_t n, std::string& err) {
      const int call = ++calls;
      std::unique_lock<std::mutex> lock(mutex);
      opened.wait(lock, [this] { return open; });
      if (call == fail_at) {
        err = "disk full on block " + std::to_string(call);
        return false;
      }
      blocks.emplace_back(p, n);
      return true;
    };
  }
  void set_open(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    open = value;
    opened.notify_all();
  }
};

std::string block_text(int i) {
  return "block " + std::to_string(i) + std::string(1000 + i, static_cast<char>('a' + i % 26));
}

bool wait_for_calls(const Recording_Sink& sink, int n) {
  for (int i = 0; i < 1000 && sink.calls.load() < n; ++i) ::usleep(5000);
  return sink.calls.load() >= n;
}

}  // namespace

TEST(BackgroundWriter, WritesEveryBlockInOrderAndHandsBackEmptyBuffers) {
  Recording_Sink rec;
  Background_Writer writer(rec.sink(), 3, 4096);
  std::string block;
  for (int i = 0; i < 50; ++i) {
    block = block_text(i);
    ASSERT_TRUE(writer.hand_over(block)) << writer.error();
    EXPECT_TRUE(block.empty());
  }
  ASSERT_TRUE(writer.drain()) << writer.error();
  ASSERT_EQ(50u, rec.blocks.size());
  for (int i = 0; i < 50; ++i) EXPECT_EQ(block_text(i), rec.blocks[i]) << i;
}

TEST(BackgroundWriter, NoMoreBlocksExistThanItsBuffers) {
  Recording_Sink rec;
  rec.set_open(false);
  Background_Writer writer(rec.sink(), 3, 4096);
  std::atomic<int> handed{0};
  std::thread producer([&] {
    std::string block;
    for (int i = 0; i < 6; ++i) {
      block = block_text(i);
      if (!writer.hand_over(block)) return;
      ++handed;
    }
  });
  ASSERT_TRUE(wait_for_calls(rec, 1));
  ::usleep(100 * 1000);
  // One block in the sink and one queued, the producer holding the third:
  // the third hand-over waits for a buffer.
  EXPECT_LE(handed.load(), 2);
  rec.set_open(true);
  producer.join();
  EXPECT_EQ(6, handed.load());
  ASSERT_TRUE(writer.drain());
  EXPECT_EQ(6u, rec.blocks.size());
}

TEST(BackgroundWriter, AFailureSurfacesAtTheNextHandOverAndAtDrainAndDropsWhatFollows) {
  Recording_Sink rec;
  rec.fail_at = 2;
  rec.set_open(false);
  Background_Writer writer(rec.sink(), 4, 4096);
  std::string block;
  for (int i = 0; i < 3; ++i) {
    block = block_text(i);
    ASSERT_TRUE(writer.hand_over(block));
  }
  rec.set_open(true);
  EXPECT_FALSE(writer.drain());
  EXPECT_EQ("disk full on block 2", writer.error());
  block = block_text(9);
  EXPECT_FALSE(writer.hand_over(block));
  EXPECT_EQ(block_text(9), block) << "a refused block stays with the caller";
  EXPECT_EQ(2, rec.calls.load()) << "the block queued behind the failure is not written";
  ASSERT_EQ(1u, rec.blocks.size());
  EXPECT_EQ(block_text(0), rec.blocks[0]);
}

TEST(BackgroundWriter, StopDropsQueuedBlocksAndLeavesTheWriterReusable) {
  Recording_Sink rec;
  rec.fail_at = 1;
  Background_Writer writer(rec.sink(), 3, 4096);
  std::string block = block_text(0);
  ASSERT_TRUE(writer.hand_over(block));
  EXPECT_FALSE(writer.drain());
  writer.stop();
  EXPECT_EQ("", writer.error());
  rec.set_open(false);
  for (int i = 1; i < 3; ++i) {
    block = block_text(i);
    ASSERT_TRUE(writer.hand_over(block)) << writer.error();
  }
  ASSERT_TRUE(wait_for_calls(rec, 2));
  std::thread opener([&] {
    ::usleep(50 * 1000);
    rec.set_open(true);
  });
  writer.stop();
  opener.join();
  // The block in the sink was finished; the one queued was dropped.
  EXPECT_EQ(2, rec.calls.load());
  EXPECT_EQ((std::vector<std::string>{block_text(1)}), rec.blocks);
  block = block_text(7);
  ASSERT_TRUE(writer.hand_over(block));
  ASSERT_TRUE(writer.drain());
  EXPECT_EQ(block_text(7), rec.blocks.back());
}
