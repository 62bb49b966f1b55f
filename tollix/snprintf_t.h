#ifndef TOLLIX_SNPRINTF_T_H
#define TOLLIX_SNPRINTF_T_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

// A printf-style formatter with an inline buffer of N characters that moves
// to a heap buffer when a text does not fit. c_str() stays valid until the
// next set()/vset() or the object's end. Not thread-safe; cheap to keep on
// the stack. Only the char character type is provided.
template <std::size_t N, typename C = char>
class snprintf_t {
  static_assert(std::is_same<C, char>::value, "snprintf_t formats char texts only");
  static_assert(N > 1, "snprintf_t needs room for a character and its terminator");

 public:
  snprintf_t() { buf_[0] = 0; }

  explicit snprintf_t(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    buf_[0] = 0;
    va_list ap;
    va_start(ap, fmt);
    vset(fmt, ap);
    va_end(ap);
  }

  ~snprintf_t() { std::free(ptr_); }

  snprintf_t(const snprintf_t&) = delete;
  snprintf_t& operator=(const snprintf_t&) = delete;

  // Replaces the text. Answers its length, or -1 on a format error or when
  // no heap buffer could be had (the text is then empty).
  int set(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int n = vset(fmt, ap);
    va_end(ap);
    return n;
  }

  int vset(const C* fmt, va_list ap) {
    C* out = ptr_ != nullptr ? ptr_ : buf_;
    std::size_t room = ptr_ != nullptr ? size_ : N;
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(out, room, fmt, ap);
    if (n >= 0 && static_cast<std::size_t>(n) >= room) {
      std::size_t want = static_cast<std::size_t>(n) + 1;
      C* grown = static_cast<C*>(std::realloc(ptr_, want));
      if (grown == nullptr) {
        n = -1;
      } else {
        ptr_ = grown;
        size_ = want;
        out = ptr_;
        n = std::vsnprintf(out, size_, fmt, again);
      }
    }
    va_end(again);
    if (n < 0) {
      out[0] = 0;
      len_ = 0;
      return -1;
    }
    len_ = static_cast<std::size_t>(n);
    return n;
  }

  const C* c_str() const { return ptr_ != nullptr ? ptr_ : buf_; }
  std::size_t length() const { return len_; }

 private:
  C buf_[N];
  C* ptr_ = nullptr;
  std::size_t size_ = 0;
  std::size_t len_ = 0;
};

#endif
