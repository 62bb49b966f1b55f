#include "tollix/natoi.h"

#include <cerrno>
#include <limits>
#include <type_traits>

template <typename T>
T natoi(const char* begin, const char* end, const char** endptr) {
  typedef typename std::make_unsigned<T>::type U;
  if (endptr != nullptr) *endptr = begin;
  if (begin == nullptr || end == nullptr || begin >= end) {
    errno = EINVAL;
    return 0;
  }
  const char* p = begin;
  bool negative = false;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    if (!std::is_signed<T>::value) {
      errno = EINVAL;
      return 0;
    }
    negative = true;
    ++p;
  }
  const U limit = static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
  const U limit_div = limit / 10;
  const unsigned limit_mod = static_cast<unsigned>(limit % 10);
  U value = 0;
  const char* digits = p;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > limit_div || (value == limit_div && digit > limit_mod)) {
      if (endptr != nullptr) *endptr = p;
      errno = ERANGE;
      return std::numeric_limits<T>::max();
    }
    value = static_cast<U>(value * 10 + digit);
  }
  if (p == digits) {
    errno = EINVAL;
    return 0;
  }
  if (endptr != nullptr) *endptr = p;
  errno = 0;
  if (negative && value > 0) return static_cast<T>(-static_cast<T>(value - 1) - 1);
  return static_cast<T>(value);
}

template int natoi<int>(const char*, const char*, const char**);
template unsigned short natoi<unsigned short>(const char*, const char*, const char**);
template unsigned long natoi<unsigned long>(const char*, const char*, const char**);
template unsigned long long natoi<unsigned long long>(const char*, const char*, const char**);
