#ifndef TOLLIX_SECURE_ALLOCATOR_H
#define TOLLIX_SECURE_ALLOCATOR_H

#include <cstddef>
#include <memory>
#include <string>

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

// A character string for passwords. Short strings live inside the object
// (small-string buffer); the destructor of secure_string wipes that buffer
// too, see wipe().
using secure_string = std::basic_string<char, std::char_traits<char>, secure_allocator<char>>;

// Wipes the content of s, including a small-string buffer inside the object,
// and leaves s empty.
inline void wipe(secure_string& s) {
  if (!s.empty()) secure_memset(&s[0], s.size());
  s.clear();
}

#endif
