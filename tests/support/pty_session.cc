#include "tests/support/pty_session.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

int ms_left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Pty_Session::~Pty_Session() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) ::close(master_);
}

bool Pty_Session::start(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ == 0) {
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid_ > 0;
}

int Pty_Session::read_some(int wait_ms) {
  pollfd p{master_, POLLIN, 0};
  const int ready = ::poll(&p, 1, wait_ms);
  if (ready <= 0) return ready == 0 || errno == EINTR ? 0 : -1;
  char buf[4096];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n > 0) {
    screen_.append(buf, static_cast<std::size_t>(n));
    return 1;
  }
  // Linux answers EIO once no process holds the terminal open.
  return n < 0 && errno == EINTR ? 0 : -1;
}

bool Pty_Session::reaped() {
  if (pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return true;
}

bool Pty_Session::wait_for(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (screen_.find(text) == std::string::npos) {
    if (ms_left(deadline) == 0 || read_some(std::min(ms_left(deadline), 100)) < 0) return false;
  }
  return true;
}

void Pty_Session::type(const std::string& keys) {
  for (std::size_t done = 0; done < keys.size();) {
    const ssize_t n = ::write(master_, keys.data() + done, keys.size() - done);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
}

int Pty_Session::finish(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // A process the program left behind may hold the terminal open: the end
  // is the program's own, after what it wrote has been read.
  bool open = true;
  while (!reaped() && ms_left(deadline) > 0) {
    if (open) {
      open = read_some(std::min(ms_left(deadline), 100)) >= 0;
    } else {
      ::usleep(20000);
    }
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
  }
  while (open && read_some(0) > 0) {
  }
  return status_;
}
