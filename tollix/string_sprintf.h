#ifndef TOLLIX_STRING_SPRINTF_H
#define TOLLIX_STRING_SPRINTF_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

// Whether S is a std::basic_string of char or a class made from one (such
// as secure_string).
template <typename S, typename = void>
struct is_char_string : std::false_type {};
template <typename S>
struct is_char_string<
    S, typename std::enable_if<std::is_base_of<
           std::basic_string<char, typename S::traits_type, typename S::allocator_type>, S>::value>::type>
    : std::true_type {};

// printf-style formatting into growing strings. S is any std::basic_string
// of char (std::string or secure_string). Thread-safe for distinct targets.

// Formats into s: replaces its content, or appends to it when append is
// true. Answers the new length of s, or a negative value on a format error,
// in which case s is restored (to its old content when appending, to empty
// otherwise).
template <typename S>
int string_vsprintf(S& s, const char* fmt, va_list ap, bool append) {
  const std::size_t start = append ? s.size() : 0;
  if (s.size() < start + 128) s.resize(start + 128);
  std::size_t room = s.size() - start;
  for (;;) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(&s[start], room, fmt, copy);
    va_end(copy);
    if (n < 0) {
      s.resize(start);
      return n;
    }
    if (static_cast<std::size_t>(n) < room) {
      s.resize(start + static_cast<std::size_t>(n));
      return static_cast<int>(s.size());
    }
    room = static_cast<std::size_t>(n) + 1;
    s.resize(start + room);
  }
}

// Replaces the content of s with the formatted text; answers as string_vsprintf.
template <typename S, typename = typename std::enable_if<is_char_string<S>::value>::type>
int string_sprintf(S& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
template <typename S, typename>
int string_sprintf(S& s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = string_vsprintf(s, fmt, ap, false);
  va_end(ap);
  return n;
}

// Appends the formatted text to s; answers as string_vsprintf.
template <typename S, typename = typename std::enable_if<is_char_string<S>::value>::type>
int string_sprintf_append(S& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
template <typename S, typename>
int string_sprintf_append(S& s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = string_vsprintf(s, fmt, ap, true);
  va_end(ap);
  return n;
}

// The formatted text as a new string (empty on a format error).
std::string string_sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
