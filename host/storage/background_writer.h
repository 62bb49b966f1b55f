#ifndef HOST_STORAGE_BACKGROUND_WRITER_H
#define HOST_STORAGE_BACKGROUND_WRITER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Stores full blocks on a thread of its own, so that producing the next
// block (reading a fifo, compressing) overlaps storing this one. Blocks are
// written in the order they were handed over, by a sink that runs on the
// writer's thread; at most `buffers` blocks exist at once (the one being
// filled included), so memory stays bounded whatever the size of the file.
//
// A failure of the sink is kept and surfaces at the next hand_over() or at
// drain(); blocks queued behind it are dropped. The thread starts with the
// first block, so a file smaller than one block never starts one. One
// producer thread at a time.
class Background_Writer {
 public:
  // Writes len bytes or answers false with err set.
  using Sink = std::function<bool(const char* data, std::size_t len, std::string& err)>;

  Background_Writer(Sink sink, std::size_t buffers, std::size_t block_capacity);
  ~Background_Writer();
  Background_Writer(const Background_Writer&) = delete;
  Background_Writer& operator=(const Background_Writer&) = delete;

  // Queues block's bytes for writing and leaves block an empty buffer of
  // the pool, waiting while every buffer is in flight. False (error() says
  // why) when an earlier block failed or the writer's thread cannot be
  // started; nothing is queued then and block keeps its bytes.
  bool hand_over(std::string& block);

  // Waits until every queued block is written. False (error() says why)
  // when one failed. The writer is idle afterwards, so the caller may use
  // what the sink uses.
  bool drain();

  // Drops the queued blocks, waits for the one being written and ends the
  // thread. The writer can be used again afterwards, with no error.
  void stop();

  const std::string& error() const { return error_; }

 private:
  void run();
  bool start_thread();
  void recycle_queue();

  Sink sink_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;  // full blocks, oldest first
  std::vector<std::string> free_;  // empty buffers with their capacity kept
  std::size_t buffers_;
  std::size_t block_capacity_;
  std::size_t allocated_ = 0;  // buffers made besides the producer's own
  bool busy_ = false;          // the thread holds a block outside the queue
  bool stopping_ = false;
  bool failed_ = false;
  std::string error_;
  std::thread thread_;
};

#endif
