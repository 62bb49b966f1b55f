#include "host/base/get_env_r.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex& env_lock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}
}  // namespace

int get_env_r(const char* name, char* buf, std::size_t len) {
  if (buf != nullptr && len > 0) buf[0] = '\0';
  if (name == nullptr || buf == nullptr || len == 0) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(env_lock());
  const char* value = std::getenv(name);
  if (value == nullptr) return -1;
  const std::size_t n = std::strlen(value);
  if (n >= len) {
    errno = ERANGE;
    return -1;
  }
  std::memcpy(buf, value, n + 1);
  return static_cast<int>(n);
}

bool get_env_r(const char* name, std::string& out) {
  out.clear();
  if (name == nullptr) return false;
  std::lock_guard<std::mutex> guard(env_lock());
  const char* value = std::getenv(name);
  if (value == nullptr) return false;
  out = value;
  return true;
}

int set_env_r(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(env_lock());
  return ::setenv(name, value, 1);
}
