#include "host/storage/background_writer.h"

#include <system_error>
#include <utility>

Background_Writer::Background_Writer(Sink sink, std::size_t buffers, std::size_t block_capacity)
    : sink_(std::move(sink)), buffers_(buffers < 2 ? 2 : buffers), block_capacity_(block_capacity) {}

Background_Writer::~Background_Writer() { stop(); }

bool Background_Writer::hand_over(std::string& block) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) return false;
  if (!thread_.joinable() && !start_thread()) return false;
  queue_.push_back(std::move(block));
  changed_.notify_all();
  // The caller's buffer counts as one of the pool's.
  changed_.wait(lock, [this] { return !free_.empty() || allocated_ + 1 < buffers_; });
  if (!free_.empty()) {
    block = std::move(free_.back());
    free_.pop_back();
  } else {
    ++allocated_;
    block = std::string();
    block.reserve(block_capacity_);
  }
  return true;
}

// Called with the lock held. A thread that cannot be made (the process is
// at its limit) fails the write rather than the process.
bool Background_Writer::start_thread() {
  try {
    thread_ = std::thread(&Background_Writer::run, this);
  } catch (const std::system_error& e) {
    failed_ = true;
    error_ = std::string("cannot start the storage writer thread: ") + e.what();
    return false;
  }
  return true;
}

bool Background_Writer::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
  return !failed_;
}

void Background_Writer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    recycle_queue();
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  failed_ = false;
  error_.clear();
}

void Background_Writer::recycle_queue() {
  for (std::string& block : queue_) {
    block.clear();
    free_.push_back(std::move(block));
  }
  queue_.clear();
}

void Background_Writer::run() {
  for (;;) {
    std::string block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      block = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    std::string err;
    const bool ok = sink_(block.data(), block.size(), err);
    block.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    free_.push_back(std::move(block));
    if (!ok) {
      failed_ = true;
      error_ = err;
      recycle_queue();
    }
    changed_.notify_all();
  }
}
