#include "host/storage/rate_limiter.h"

#include <ace/OS_NS_sys_time.h>

#include "host/base/sleep.h"

unsigned long long Rate_Limiter::effective_rate(const Rate_Control_Entries& entries) {
  unsigned long long rate = 0;
  for (const Rate_Control_Entry& e : entries) {
    if (e.max_bytes_per_second && (rate == 0 || e.max_bytes_per_second < rate)) rate = e.max_bytes_per_second;
  }
  return rate;
}

Rate_Limiter::Rate_Limiter(unsigned long long bytes_per_second) : rate_(bytes_per_second) {}

std::size_t Rate_Limiter::chunk_size(std::size_t max_chunk) const {
  if (rate_ == 0) return max_chunk;
  unsigned long long chunk = rate_ / 10;
  if (chunk < 512) chunk = 512;
  return chunk < max_chunk ? static_cast<std::size_t>(chunk) : max_chunk;
}

void Rate_Limiter::account(std::size_t n) {
  if (rate_ == 0) return;
  const ACE_Time_Value now = ACE_OS::gettimeofday();
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  bytes_ += n;
  // Where the stream may be at this byte count, in microseconds since start.
  const unsigned long long due_usec = bytes_ / rate_ * 1000000ULL + bytes_ % rate_ * 1000000ULL / rate_;
  ACE_Time_Value due;
  due.set(static_cast<time_t>(due_usec / 1000000ULL), static_cast<suseconds_t>(due_usec % 1000000ULL));
  const ACE_Time_Value elapsed = now - start_;
  if (due > elapsed) host_sleep(due - elapsed);
}
