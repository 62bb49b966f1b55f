#include "oscar/brcmd_fifo.h"

#include <ace/Log_Msg.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "host/base/fs_util.h"
#include "tollix/posix_time_format.h"

namespace oscar {

namespace {

std::atomic<unsigned long> fifo_counter{0};

// Makes fd blocking again and enlarges its pipe (best effort: a smaller
// limit of the system leaves the default capacity).
int finish_open(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  ::fcntl(fd, F_SETPIPE_SZ, FIFO_PIPE_SIZE);
  return fd;
}

// Keeps fd when it is what the run created: a fifo owned by this
// process's user. Otherwise (the path was replaced by a regular file, a
// device, another user's fifo) closes it, logs why and answers -1 with
// errno EPERM, so that no data goes to or comes from a stranger's file.
// A symbolic link never gets this far: the open does not follow it.
int checked_fifo(int fd, const std::string& path) {
  if (fd == -1) {
    if (errno == ELOOP) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing fifo %C: the path is a symbolic link\n"), path.c_str()));
      errno = ELOOP;
    }
    return -1;
  }
  struct stat st;
  const char* why = nullptr;
  if (::fstat(fd, &st) != 0) {
    why = "it cannot be examined";
  } else if (!S_ISFIFO(st.st_mode)) {
    why = "it is not a fifo";
  } else if (st.st_uid != ::geteuid()) {
    why = "it belongs to another user";
  }
  if (why == nullptr) return fd;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing fifo %C: %C\n"), path.c_str(), why));
  ::close(fd);
  errno = EPERM;
  return -1;
}

bool writer_came(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms);
  } while (rc == -1 && errno == EINTR);
  return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

std::string make_fifo_name(std::time_t start_time) {
  POSIX_Time_Format<16> timestamp(start_time, "%Y%m%d_%H%M%S");
  char name[96];
  std::snprintf(name, sizeof name, "%s_%ld_%lu_fifo", timestamp.c_str(), static_cast<long>(::getpid()),
                fifo_counter.fetch_add(1) + 1);
  return name;
}

int remove_stale_fifos(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(d)) {
    // "%Y%m%d_%H%M%S_PID_N_fifo"
    char date[9], time[7];
    long pid = 0;
    unsigned long n = 0;
    char end[6] = {};
    if (std::sscanf(e->d_name, "%8[0-9]_%6[0-9]_%ld_%lu_%5s", date, time, &pid, &n, end) != 5 ||
        std::string(end) != "fifo" || pid <= 0 || pid == ::getpid())
      continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (::unlink(path.c_str()) == 0) {
      ACE_DEBUG(
          (LM_INFO, ACE_TEXT("%N:%l Removed the fifo %C of a run that ended without removing it.\n"), path.c_str()));
      ++removed;
    }
  }
  ::closedir(d);
  return removed;
}

int open_fifo_for_reading(const std::string& path, const Peer_Alive& alive) {
  const int fd = checked_fifo(open_cloexec(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW), path);
  if (fd == -1) return -1;
  ::fcntl(fd, F_SETPIPE_SZ, FIFO_PIPE_SIZE);
  while (!writer_came(fd, 100)) {
    if (!alive() && !writer_came(fd, 0)) {
      ::close(fd);
      errno = ECHILD;
      return -1;
    }
  }
  return finish_open(fd);
}

int open_fifo_for_writing(const std::string& path, const Peer_Alive& alive) {
  for (;;) {
    const int opened = open_cloexec(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (opened != -1 || errno != ENXIO) {
      const int fd = checked_fifo(opened, path);
      return fd == -1 ? -1 : finish_open(fd);
    }
    if (!alive()) {
      errno = ENXIO;
      return -1;
    }
    ::poll(nullptr, 0, 50);
  }
}

Sigpipe_Guard::Sigpipe_Guard() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  blocked_ = ::pthread_sigmask(SIG_BLOCK, &set, &old_) == 0 && !sigismember(&old_, SIGPIPE);
}

Sigpipe_Guard::~Sigpipe_Guard() {
  if (!blocked_) return;
  // The owner's last failure stays readable after the guard is gone.
  const int saved_errno = errno;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const struct timespec none = {0, 0};
  while (::sigtimedwait(&set, nullptr, &none) == SIGPIPE) {
  }
  ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  errno = saved_errno;
}

}  // namespace oscar
