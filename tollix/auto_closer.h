#ifndef TOLLIX_AUTO_CLOSER_H
#define TOLLIX_AUTO_CLOSER_H

#include <ace/OS_NS_unistd.h>

// How Auto_Closer treats a file descriptor: -1 is "none", close(2) releases.
struct Auto_Handle_Trait {
  static int invalid() { return -1; }
  static void close(int handle) { ACE_OS::close(handle); }
};

// Owns one handle and releases it through Trait when destroyed or when reset
// gives it a different one. Move-only; not thread-safe.
template <typename H, typename Trait>
class Auto_Closer {
 public:
  explicit Auto_Closer(H handle = Trait::invalid()) : handle_(handle) {}
  ~Auto_Closer() { reset(); }

  Auto_Closer(const Auto_Closer&) = delete;
  Auto_Closer& operator=(const Auto_Closer&) = delete;
  Auto_Closer(Auto_Closer&& other) noexcept : handle_(other.release()) {}
  Auto_Closer& operator=(Auto_Closer&& other) noexcept {
    reset(other.release());
    return *this;
  }

  H get() const { return handle_; }
  bool valid() const { return handle_ != Trait::invalid(); }

  // Takes handle, closing the one held before unless it is the same.
  void reset(H handle = Trait::invalid()) {
    if (handle_ != handle && handle_ != Trait::invalid()) Trait::close(handle_);
    handle_ = handle;
  }

  // Gives the handle up without closing it.
  H release() {
    H h = handle_;
    handle_ = Trait::invalid();
    return h;
  }

 private:
  H handle_;
};

#endif
