#ifndef TOLLIX_POSIX_TIME_FORMAT_H
#define TOLLIX_POSIX_TIME_FORMAT_H

#include <cstddef>
#include <ctime>

// One time formatted with strftime into an inline buffer of N characters,
// in local time when local is true, else in UTC. The text is empty when the
// format is null, the conversion fails or the result does not fit.
// Thread-safe (re-entrant conversions).
template <std::size_t N, bool local = true>
class POSIX_Time_Format {
 public:
  POSIX_Time_Format(std::time_t t, const char* fmt) {
    buf_[0] = 0;
    struct tm tm;
    if (fmt == nullptr) return;
    if ((local ? ::localtime_r(&t, &tm) : ::gmtime_r(&t, &tm)) == nullptr) return;
    if (std::strftime(buf_, N, fmt, &tm) == 0) buf_[0] = 0;
  }

  const char* c_str() const { return buf_; }

 private:
  char buf_[N];
};

#endif
