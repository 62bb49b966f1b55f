#include <cstring>

#include "tollix/secure_allocator.h"

void secure_memset(void* p, std::size_t n) {
  // A volatile function pointer keeps the compiler from proving the store dead.
  static void* (*const volatile wipe_fn)(void*, int, std::size_t) = std::memset;
  if (p != nullptr && n > 0) wipe_fn(p, 0, n);
}
