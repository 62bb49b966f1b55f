#ifndef TOLLIX_ACE_READ_TRAIT_H
#define TOLLIX_ACE_READ_TRAIT_H

#include <sys/types.h>

#include <cstddef>

// Interrupt-safe reads from a descriptor. The buffer must hold n bytes.
// Thread-safe (as read(2) is).
struct ace_read_trait {
  // One read(2), retried while it fails with EAGAIN or EINTR. Answers the
  // byte count (0 at end of file) or -1 with errno set.
  static ssize_t read(int fd, void* buf, std::size_t n);

  // Reads until n bytes are in. Answers n; at end of file the count read so
  // far (possibly 0); on an error the negative result of the failing read.
  // Blocks as long as the descriptor does.
  static ssize_t read_n(int fd, void* buf, std::size_t n);
};

#endif
