#include "tollix/fd_wait.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

Fd_Wait_Result wait_fd(int fd, short events, long limit_ms, const std::function<bool()>& cancelled, long slice_ms) {
  typedef std::chrono::steady_clock Clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(limit_ms, 0L));
  const long slice = std::max(slice_ms, 1L);
  for (;;) {
    if (cancelled && cancelled()) return Fd_Wait_Result::CANCELLED;
    const long left =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::max(0L, std::min(left, slice))));
    if (rc > 0) return Fd_Wait_Result::READY;
    if (rc < 0 && errno != EINTR) return Fd_Wait_Result::FAILED;
    if (left <= 0 || Clock::now() >= deadline) return Fd_Wait_Result::TIMED_OUT;
  }
}

Nonblocking_Scope::Nonblocking_Scope(int fd) : fd_(fd), old_flags_(::fcntl(fd, F_GETFL)) {
  if (old_flags_ == -1) return;
  if ((old_flags_ & O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFL, old_flags_ | O_NONBLOCK) == -1) old_flags_ = -1;
}

Nonblocking_Scope::~Nonblocking_Scope() {
  if (old_flags_ == -1) return;
  const int saved = errno;
  ::fcntl(fd_, F_SETFL, old_flags_);
  errno = saved;
}
