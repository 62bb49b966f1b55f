#include "tests/support/s3_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

const char* const SERVER_DIR = OSCAR_SOURCE_DIR "/tests/s3server";

// Waits at most `seconds` for pid to end; true when it did.
bool reap(pid_t pid, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

S3_Server::S3_Server(const std::string& data_dir, const std::string& bucket) : data_dir_(data_dir), bucket_(bucket) {
  struct stat st;
  if (::stat((std::string(SERVER_DIR) + "/node_modules/s3rver/package.json").c_str(), &st) != 0) {
    error_ = std::string("s3rver is not installed in ") + SERVER_DIR + ": run scripts/install-deps";
    return;
  }
  ::mkdir(data_dir_.c_str(), 0700);
  const std::string port_file = data_dir_ + ".port";
  ::unlink(port_file.c_str());
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error_ = "cannot make a pipe for the S3 server";
    return;
  }
  const std::string log = data_dir_ + ".log";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[0], 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    if (::chdir(SERVER_DIR) != 0) ::_exit(126);
    ::setenv("S3SERVER_SECRET", SECRET_ACCESS_KEY, 1);
    ::execlp("node", "node", "server.js", data_dir_.c_str(), bucket_.c_str(), port_file.c_str(), (char*)nullptr);
    ::_exit(127);
  }
  ::close(pipe_fds[0]);
  if (pid < 0) {
    ::close(pipe_fds[1]);
    error_ = "cannot start the S3 server";
    return;
  }
  pid_ = pid;
  stdin_fd_ = pipe_fds[1];
  // The port file appears once the server listens; it answers from then on.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    const std::string port = read_file(port_file);
    if (!port.empty()) {
      port_ = std::atoi(port.c_str());
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      ::close(stdin_fd_);
      stdin_fd_ = -1;
      error_ = "the S3 server ended at start: " + read_file(log);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop();
  error_ = "the S3 server did not start within 60 seconds: " + read_file(log);
}

S3_Server::~S3_Server() { stop(); }

void S3_Server::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!reap(pid_, 10)) {
    ::kill(pid_, SIGKILL);
    reap(pid_, 10);
  }
  pid_ = -1;
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

Client_IO_Base::Options S3_Server::options() const {
  Client_IO_Base::Options o;
  o.s3_endpoint = endpoint();
  o.s3_access_key_id = ACCESS_KEY_ID;
  o.s3_secret_access_key = SECRET_ACCESS_KEY;
  o.s3_timeout_seconds = 20;
  return o;
}

bool S3_Server::write_key_file(const std::string& path) const {
  return write_file(path, std::string(ACCESS_KEY_ID) + "\n" + SECRET_ACCESS_KEY + "\n") &&
         ::chmod(path.c_str(), 0600) == 0;
}

int S3_Server::control(const std::string& method, const std::string& target, std::string& body) const {
  body.clear();
  if (!running()) return 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  timeval limit = {10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    // HTTP/1.0: the server closes the connection after its answer.
    const std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  const std::size_t space = answer.find(' ');
  const std::size_t head_end = answer.find("\r\n\r\n");
  if (answer.compare(0, 5, "HTTP/") != 0 || space == std::string::npos || head_end == std::string::npos) return 0;
  body = answer.substr(head_end + 4);
  return std::atoi(answer.c_str() + space + 1);
}

bool S3_Server::fail_next(const std::string& kind, int count, const std::string& answer, const std::string& suffix) {
  std::string body;
  return control("PUT",
                 "/__faults?kind=" + kind + "&count=" + std::to_string(count) + "&answer=" + answer +
                     (suffix.empty() ? "" : "&suffix=" + suffix),
                 body) == 204;
}

int S3_Server::requests(const std::string& kind) const {
  std::string body;
  if (control("GET", "/__requests", body) != 200) return -1;
  const std::string line = kind + " ";
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t end = std::min(body.find('\n', at), body.size());
    if (body.compare(at, line.size(), line) == 0) return std::atoi(body.c_str() + at + line.size());
    at = end + 1;
  }
  return 0;
}

std::vector<std::string> S3_Server::bucket_files() const {
  const std::string root = data_dir_ + "/" + bucket_ + "/";
  std::vector<std::string> out;
  for (const std::string& f : files_under(data_dir_ + "/" + bucket_))
    out.push_back(f.compare(0, root.size(), root) == 0 ? f.substr(root.size()) : f);
  return out;
}

std::vector<std::string> S3_Server::objects() const {
  std::vector<std::string> out;
  for (const std::string& f : bucket_files())
    if (ends_with(f, "._S3rver_object")) out.push_back(f);
  return out;
}

std::vector<std::string> S3_Server::uploads() const {
  std::vector<std::string> out;
  for (const std::string& f : bucket_files())
    if (f.find("._S3rver_uploads") != std::string::npos) out.push_back(f);
  return out;
}

Silent_Endpoint::Silent_Endpoint() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 4) == 0 &&
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port_ = ntohs(addr.sin_port);
}

Silent_Endpoint::~Silent_Endpoint() {
  if (fd_ >= 0) ::close(fd_);
}
