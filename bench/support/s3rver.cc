#include "bench/support/s3rver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

S3rver::S3rver(const std::string& dir, const std::string& bucket) {
  const std::string port_file = dir + "/port";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) std::exit(1);
  stdin_fd_ = fds[1];
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    if (::chdir(OSCAR_SOURCE_DIR "/tests/s3server") != 0) ::_exit(126);
    ::execlp("node", "node", "server.js", (dir + "/data").c_str(), bucket.c_str(), port_file.c_str(), (char*)nullptr);
    ::_exit(127);
  }
  ::close(fds[0]);
  for (int i = 0; i < 1200 && port_ == 0; ++i) {
    std::ifstream in(port_file);
    if (!(in >> port_)) port_ = 0;
    int status;
    if (port_ == 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (port_ == 0) {
    std::fprintf(stderr, "s3rver did not start: is it installed (scripts/install-deps)?\n");
    std::exit(1);
  }
}

S3rver::~S3rver() {
  ::close(stdin_fd_);
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

long S3rver::requests() const {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  const std::string ask = "GET /__requests HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::write(fd, ask.data(), ask.size()) == static_cast<ssize_t>(ask.size())) {
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const std::size_t body = answer.find("\r\n\r\n");
  if (body == std::string::npos || answer.find(" 200 ") > answer.find("\r\n")) return -1;
  // "KIND COUNT" lines; "held" counts requests already counted under their kind.
  std::istringstream lines(answer.substr(body + 4));
  std::string kind;
  long count = 0, total = 0;
  while (lines >> kind >> count)
    if (kind != "held") total += count;
  return total;
}

}  // namespace bench
