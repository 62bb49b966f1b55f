#ifndef TOLLIX_NATOI_H
#define TOLLIX_NATOI_H

#include <cstddef>

// Strict decimal integer parsing of a text range [begin, end).
//
// An optional "+" may lead; for signed T also "-". For unsigned T a leading
// "-" is rejected (EINVAL, result 0). Digits are read up to the end of the
// range or the first non-digit.
//
// Results, through errno (the thread's last error):
//  - 0: at least one digit was read; the value is returned;
//  - EINVAL: null or empty text, no digit, or "-" for unsigned T; returns 0;
//  - ERANGE: the value does not fit T; returns the largest value of T.
// A caller tells failure by errno (or by *endptr not reaching end), never by
// the value alone. When endptr is given it receives the first character not
// consumed; it stays at begin when no digit was read.
//
// Provided for int, unsigned short, unsigned long and unsigned long long.
// Thread-safe.
template <typename T>
T natoi(const char* begin, const char* end, const char** endptr = nullptr);

// natoi over text[0, len).
template <typename T>
T natoi(const char* text, std::size_t len) {
  return natoi<T>(text, text == nullptr ? nullptr : text + len, nullptr);
}

#endif
