#ifndef TOLLIX_FD_WAIT_H
#define TOLLIX_FD_WAIT_H

#include <functional>

// Bounded waits on one descriptor, for copies that must notice both a peer
// that stopped moving data and a caller that gave up.

// How a wait ended.
enum class Fd_Wait_Result {
  READY,      // the descriptor is ready (or in error or hung up: the next
              // read or write tells which)
  TIMED_OUT,  // nothing happened within the limit
  CANCELLED,  // the cancel predicate answered true
  FAILED      // poll(2) failed; errno tells why
};

// Waits until fd is ready for `events` (POLLIN or POLLOUT), at most
// limit_ms milliseconds in all (measured on the monotonic clock, so a
// change of the wall clock neither shortens nor lengthens it). The wait
// goes in slices of at most slice_ms; before each slice `cancelled` (when
// set) is asked, so a cancel is seen within one slice. Interrupted polls
// are resumed within the same deadline. Thread-safe.
Fd_Wait_Result wait_fd(int fd, short events, long limit_ms, const std::function<bool()>& cancelled,
                       long slice_ms = 250);

// Makes a descriptor non-blocking while it lives and puts its flags back
// when it ends, so that a copy can try each read or write at once and wait
// (wait_fd) only when the descriptor has nothing to give or no room. The
// flags belong to the open file description: only for a descriptor whose
// description nobody else uses meanwhile. A descriptor whose flags cannot
// be read or set stays as it was.
class Nonblocking_Scope {
 public:
  explicit Nonblocking_Scope(int fd);
  ~Nonblocking_Scope();
  Nonblocking_Scope(const Nonblocking_Scope&) = delete;
  Nonblocking_Scope& operator=(const Nonblocking_Scope&) = delete;

 private:
  int fd_;
  int old_flags_;  // -1 when nothing was changed
};

#endif
