#ifndef FUZZ_FUZZ_FILES_H
#define FUZZ_FUZZ_FILES_H

// File helpers the fuzzers that work on stored files share. A fuzzer is one
// process on one thread; a failure here aborts it, as a fuzzer's set-up
// that cannot run must not pass as clean.

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/base/fs_util.h"

namespace fuzz {

// Silences the log on stderr and makes a fresh directory under $TMPDIR
// (else /tmp) named PREFIX-XXXXXX; aborts when it cannot.
inline std::string quiet_temp_dir(const std::string& prefix) {
  ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(&templ[0]) == nullptr) std::abort();
  return templ;
}

// Writes size bytes to path, replacing it; false when not all were written.
inline bool write_all(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open_cloexec(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == size;
}

// The whole file; empty when it cannot be read.
inline std::string read_all(const std::string& path) {
  std::string out;
  const int fd = open_cloexec(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

}  // namespace fuzz

#endif
