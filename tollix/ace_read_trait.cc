#include "tollix/ace_read_trait.h"

#include <ace/OS_NS_unistd.h>

#include <cerrno>

ssize_t ace_read_trait::read(int fd, void* buf, std::size_t n) {
  for (;;) {
    ssize_t r = ACE_OS::read(fd, buf, n);
    if (r >= 0 || (errno != EAGAIN && errno != EINTR)) return r;
  }
}

ssize_t ace_read_trait::read_n(int fd, void* buf, std::size_t n) {
  char* p = static_cast<char*>(buf);
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = read(fd, p + done, n - done);
    if (r < 0) return r;
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(done);
}
