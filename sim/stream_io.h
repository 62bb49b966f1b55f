#ifndef SIM_STREAM_IO_H
#define SIM_STREAM_IO_H

// Fifo ends and buffered stream transfer for brcmd. Transfers go in large
// blocks (1 MiB) for throughput; the fault switches "slow=MS" (pause after
// every 64 KiB block), "die-after=N" (SIGKILL itself once N stream bytes
// have passed), "stall-after=N" (the writer stops writing, alive, once N
// bytes are out) and "stall-read-after=N" (the reader stops reading, alive,
// once N bytes are in) are applied here. A stall lasts as long as a hang
// (hang_until_killed); the transfer then fails. Objects are used by one
// thread.

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"

namespace sim {

// Opens a fifo for reading or writing; the wait for the other end is bounded
// by OSCAR_SIM_FIFO_TIMEOUT seconds (default 120). -1 with err on failure.
int open_fifo(const std::string& path, bool for_write, std::string& err);

class Stream_Writer {
 public:
  Stream_Writer(int fd, const Faults& faults);
  // Each returns false with err on a write error.
  bool put(const void* data, size_t len, std::string& err);
  // Appends len bytes of file descriptor src starting at offset.
  bool put_file(int src, uint64_t offset, uint64_t len, std::string& err);
  bool flush(std::string& err);
  uint64_t bytes() const { return total_; }

 private:
  bool emit(const unsigned char* p, size_t len, std::string& err);
  int fd_;
  uint64_t slow_ms_;
  uint64_t die_after_;
  uint64_t stall_after_;
  uint64_t total_ = 0;
  std::vector<unsigned char> buf_;
  size_t used_ = 0;
};

class Stream_Reader {
 public:
  Stream_Reader(int fd, const Faults& faults);
  // Reads exactly len bytes; false with err on error or early end of stream.
  bool get(void* data, size_t len, std::string& err);
  // Reads a line of at most max bytes (without its line feed).
  bool get_line(std::string& line, size_t max, std::string& err);
  // Copies len stream bytes into dst at offset.
  bool get_to_file(int dst, uint64_t offset, uint64_t len, std::string& err);
  // True when the stream has ended (nothing more to read).
  bool at_end(std::string& err);
  uint64_t bytes() const { return total_; }

 private:
  bool fill(std::string& err);
  int fd_;
  uint64_t slow_ms_;
  uint64_t die_after_;
  uint64_t stall_after_;
  uint64_t total_ = 0;
  std::vector<unsigned char> buf_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
};

}  // namespace sim

#endif
