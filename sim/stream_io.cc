#include "stream_io.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim_util.h"

namespace sim {

namespace {

constexpr size_t BLOCK = 1 << 20;
constexpr size_t SLOW_BLOCK = 64 << 10;

void on_alarm(int) {}

bool pwrite_all(int fd, const unsigned char* p, size_t len, uint64_t off) {
  while (len > 0) {
    ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
    off += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

int open_fifo(const std::string& path, bool for_write, std::string& err) {
  if (!is_fifo(path)) {
    err = path + " is not a fifo";
    return -1;
  }
  uint64_t timeout = 120;
  uint64_t v = 0;
  if (parse_u64(env_or_empty("OSCAR_SIM_FIFO_TIMEOUT"), v) && v > 0) timeout = v;
  // A blocking open interrupted by an alarm: no busy waiting, and a peer
  // that never comes cannot keep us forever.
  struct sigaction sa {
  }, old{};
  sa.sa_handler = on_alarm;
  ::sigaction(SIGALRM, &sa, &old);
  ::alarm(static_cast<unsigned>(timeout));
  int fd = ::open(path.c_str(), (for_write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  int saved = errno;
  ::alarm(0);
  ::sigaction(SIGALRM, &old, nullptr);
  if (fd < 0) {
    err = saved == EINTR ? "nobody opened the other end of fifo " + path + " within " + std::to_string(timeout) + " s"
                         : "cannot open fifo " + path + ": " + std::strerror(saved);
    return -1;
  }
  // A larger pipe buffer saves context switches; the kernel may refuse.
  ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  return fd;
}

Stream_Writer::Stream_Writer(int fd, const Faults& faults)
    : fd_(fd),
      slow_ms_(faults.number("slow", 0)),
      die_after_(faults.number("die-after", UINT64_MAX)),
      stall_after_(faults.number("stall-after", UINT64_MAX)),
      buf_(BLOCK) {}

bool Stream_Writer::emit(const unsigned char* p, size_t len, std::string& err) {
  while (len > 0) {
    size_t n = slow_ms_ ? std::min(len, SLOW_BLOCK) : len;
    if (die_after_ != UINT64_MAX && total_ + n >= die_after_) {
      write_all(fd_, p, static_cast<size_t>(die_after_ - total_));
      ::kill(::getpid(), SIGKILL);
    }
    if (stall_after_ != UINT64_MAX && total_ + n >= stall_after_) {
      write_all(fd_, p, static_cast<size_t>(stall_after_ - total_));
      total_ = stall_after_;
      hang_until_killed();
      err = "simulated stall after " + std::to_string(stall_after_) + " bytes ended";
      return false;
    }
    if (!write_all(fd_, p, n)) {
      err = std::string("write to fifo failed: ") + std::strerror(errno);
      return false;
    }
    total_ += n;
    p += n;
    len -= n;
    if (slow_ms_) sleep_ms(static_cast<unsigned>(slow_ms_));
  }
  return true;
}

bool Stream_Writer::flush(std::string& err) {
  bool ok = emit(buf_.data(), used_, err);
  used_ = 0;
  return ok;
}

bool Stream_Writer::put(const void* data, size_t len, std::string& err) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (len > 0) {
    size_t n = std::min(len, buf_.size() - used_);
    std::memcpy(&buf_[used_], p, n);
    used_ += n;
    p += n;
    len -= n;
    if (used_ == buf_.size() && !flush(err)) return false;
  }
  return true;
}

bool Stream_Writer::put_file(int src, uint64_t offset, uint64_t len, std::string& err) {
  while (len > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(len, buf_.size() - used_));
    ssize_t n = ::pread(src, &buf_[used_], want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n == 0 ? "data file ended early" : std::string("read of data file failed: ") + std::strerror(errno);
      return false;
    }
    used_ += static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
    len -= static_cast<uint64_t>(n);
    if (used_ == buf_.size() && !flush(err)) return false;
  }
  return true;
}

Stream_Reader::Stream_Reader(int fd, const Faults& faults)
    : fd_(fd),
      slow_ms_(faults.number("slow", 0)),
      die_after_(faults.number("die-after", UINT64_MAX)),
      stall_after_(faults.number("stall-read-after", UINT64_MAX)),
      buf_(BLOCK) {}

bool Stream_Reader::fill(std::string& err) {
  if (pos_ < end_) return true;
  if (eof_) return false;
  size_t want = slow_ms_ ? SLOW_BLOCK : buf_.size();
  if (die_after_ != UINT64_MAX) {
    if (total_ >= die_after_) ::kill(::getpid(), SIGKILL);
    want = static_cast<size_t>(std::min<uint64_t>(want, die_after_ - total_));
  }
  if (stall_after_ != UINT64_MAX) {
    if (total_ >= stall_after_) {
      hang_until_killed();
      err = "simulated stall after " + std::to_string(stall_after_) + " bytes ended";
      return false;
    }
    want = static_cast<size_t>(std::min<uint64_t>(want, stall_after_ - total_));
  }
  while (true) {
    ssize_t n = ::read(fd_, buf_.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = std::string("read from fifo failed: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    pos_ = 0;
    end_ = static_cast<size_t>(n);
    total_ += static_cast<uint64_t>(n);
    if (slow_ms_) sleep_ms(static_cast<unsigned>(slow_ms_));
    return true;
  }
}

bool Stream_Reader::get(void* data, size_t len, std::string& err) {
  unsigned char* p = static_cast<unsigned char*>(data);
  while (len > 0) {
    if (!fill(err)) {
      if (err.empty()) err = "backup stream ended early";
      return false;
    }
    size_t n = std::min(len, end_ - pos_);
    std::memcpy(p, &buf_[pos_], n);
    pos_ += n;
    p += n;
    len -= n;
  }
  return true;
}

bool Stream_Reader::get_line(std::string& line, size_t max, std::string& err) {
  line.clear();
  while (true) {
    if (!fill(err)) {
      if (err.empty()) err = "backup stream ended early";
      return false;
    }
    unsigned char* b = &buf_[pos_];
    unsigned char* nl = static_cast<unsigned char*>(std::memchr(b, '\n', end_ - pos_));
    size_t n = nl ? static_cast<size_t>(nl - b) : end_ - pos_;
    if (line.size() + n > max) {
      err = "over-long record header in backup stream";
      return false;
    }
    line.append(reinterpret_cast<char*>(b), n);
    pos_ += n + (nl ? 1 : 0);
    if (nl) return true;
  }
}

bool Stream_Reader::get_to_file(int dst, uint64_t offset, uint64_t len, std::string& err) {
  while (len > 0) {
    if (!fill(err)) {
      if (err.empty()) err = "backup stream ended early";
      return false;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, end_ - pos_));
    if (!pwrite_all(dst, &buf_[pos_], n, offset)) {
      err = std::string("write of data file failed: ") + std::strerror(errno);
      return false;
    }
    pos_ += n;
    offset += n;
    len -= n;
  }
  return true;
}

bool Stream_Reader::at_end(std::string& err) { return !fill(err) && err.empty(); }

}  // namespace sim
