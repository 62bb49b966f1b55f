#include "tests/support/sim_home.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>

extern char** environ;

Run_Result run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeout_ms) {
  Run_Result r;
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    vars[s.substr(0, s.find('='))] = s;
  }
  for (const std::string& s : env) vars[s.substr(0, s.find('='))] = s;
  std::vector<std::string> env_text;
  for (auto& v : vars) env_text.push_back(v.second);
  std::vector<char*> cargv, cenv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& e : env_text) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // No child of a test reads the terminal the tests may run in.
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    r.err = std::string("spawn failed: ") + std::strerror(rc);
    return r;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  char buf[65536];
  while (open_streams > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    if (::poll(p, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(p[i].fd);
        p[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (pollfd& q : p) {
    if (q.fd >= 0) ::close(q.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    r.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
    // Said where every failure message that prints the errors shows it.
    r.err += "\n[" + argv[0] + " ended by signal " + std::to_string(r.signal) +
             (r.timed_out ? " after its time-out" : "") + "]\n";
  }
  return r;
}

std::string sim_program() { return OSCAR_BUILD_DIR "/sim/oscar-sim"; }

int spawn_program(std::vector<std::string> argv, const std::string& log) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

Sim_Home::Sim_Home(const std::string& root, const std::string& instance, const std::string& user,
                   const std::string& password)
    : root_(root), instance_(instance), user_(user), password_(password), port_(free_port()) {}

Sim_Home::~Sim_Home() {
  if (stop_on_destruction_) admin("stop");
}

Run_Result Sim_Home::init(const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {
      sim_program(), "init", root_,        "--instance", instance_, "--port", std::to_string(port_),
      "--user",      user_,  "--password", password_,    "--size",  "256K"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return run_program(argv);
}

Run_Result Sim_Home::admin(const std::string& command, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {sim_program(), command, root_, "--instance", instance_};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return run_program(argv);
}

Run_Result Sim_Home::tool(const std::string& name, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, int timeout_ms) {
  std::vector<std::string> argv = {bin(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, env, timeout_ms);
}

std::string Sim_Home::checksum() {
  Run_Result r = admin("checksum");
  return r.status == 0 ? r.out : std::string();
}
