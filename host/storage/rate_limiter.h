#ifndef HOST_RATE_LIMITER_H
#define HOST_RATE_LIMITER_H

#include <ace/Time_Value.h>

#include <cstddef>

#include "host/storage/rate_control.h"

// Paces a byte stream to a rate: after each transfer it sleeps (through
// host_sleep) until the bytes moved so far are no ahead of the rate since
// the first transfer. A rate of 0 never sleeps. One per stream; not
// thread-safe.
class Rate_Limiter {
 public:
  // The smallest non-zero max_bytes_per_second of entries, 0 when none.
  static unsigned long long effective_rate(const Rate_Control_Entries& entries);

  explicit Rate_Limiter(unsigned long long bytes_per_second = 0);

  unsigned long long rate() const { return rate_; }

  // The largest transfer that keeps one pause short (about a tenth of a
  // second of the rate), at most max_chunk.
  std::size_t chunk_size(std::size_t max_chunk) const;

  // Counts n bytes just moved and sleeps as long as the stream is ahead.
  void account(std::size_t n);

 private:
  unsigned long long rate_;
  unsigned long long bytes_ = 0;
  bool started_ = false;
  ACE_Time_Value start_;
};

#endif
