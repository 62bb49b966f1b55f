#include "tests/support/s3_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/test_paths.h"

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

std::vector<std::string> S3_Server::bucket_files() const {
  const std::string root = data_dir_ + "/" + bucket_ + "/";
  std::vector<std::string> out;
  for (const std::string& f : files_under(data_dir_ + "/" + bucket_))
    out.push_back(f.compare(0, root.size(), root) == 0 ? f.substr(root.size()) : f);
  return out;
}
