#ifndef TOLLIX_SECURE_ALLOCATOR_H
#define TOLLIX_SECURE_ALLOCATOR_H

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

// Overwrites n bytes at p with zero through a path the optimiser may not
// remove, so that a secret does not outlive the memory that held it.
void secure_memset(void* p, std::size_t n);

// An allocator for strings that hold secrets: allocation is the ordinary one;
// every block is wiped before it is freed. Stateless, usable from any thread.
template <typename T>
struct secure_allocator {
  using value_type = T;

  secure_allocator() noexcept = default;
  template <typename U>
  secure_allocator(const secure_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }

  void deallocate(T* p, std::size_t n) noexcept {
    if (p != nullptr) {
      secure_memset(p, n * sizeof(T));
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <typename U>
  bool operator==(const secure_allocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const secure_allocator<U>&) const noexcept {
    return false;
  }
};

using secure_string_base = std::basic_string<char, std::char_traits<char>, secure_allocator<char>>;

// Wipes the whole buffer of s (its capacity, so also bytes left beyond its
// end by an earlier, longer content), including a small-string buffer
// inside the object, and leaves s empty.
inline void wipe(secure_string_base& s) {
  secure_memset(&s[0], s.capacity());
  s.clear();
}

// The same for an ordinary string that held a secret on its way into or
// out of a secure place (a parsed key, a copy in a settings record).
inline void wipe(std::string& s) {
  secure_memset(&s[0], s.capacity());
  s.clear();
}

// A character string for passwords. Heap blocks are wiped by the allocator
// when they are freed; short strings live inside the object (the
// small-string buffer), which the standard string's destructor leaves as it
// is: the destructor of secure_string wipes it (see wipe()). A string moved
// from is wiped the same way when it goes.
class secure_string : public secure_string_base {
 public:
  using secure_string_base::secure_string_base;
  secure_string() = default;
  secure_string(const secure_string_base& other) : secure_string_base(other) {}
  secure_string(secure_string_base&& other) noexcept : secure_string_base(std::move(other)) {}
  secure_string(const secure_string&) = default;
  secure_string(secure_string&&) = default;
  secure_string& operator=(const secure_string&) = default;
  secure_string& operator=(secure_string&&) = default;
  using secure_string_base::operator=;
  ~secure_string() { wipe(*this); }
};

#endif
