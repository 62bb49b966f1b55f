// "oscar-sim start" and "oscar-sim stop": run the server as a daemon.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "admin_commands.h"
#include "home.h"
#include "net.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

namespace {

constexpr int START_TIMEOUT_MS = 10000;

bool resolve_name(const Admin_Args& args, Home& home, std::string& name) {
  home.root = args.home;
  auto it = args.options.find("instance");
  if (it == args.options.end() || it->second.empty()) {
    admin_error("--instance NAME is required");
    return false;
  }
  json state;
  std::string err;
  if (!load_state(home, state, err)) {
    admin_error(err);
    return false;
  }
  if (!find_instance(state, it->second, &name)) {
    admin_error("instance " + it->second + " does not exist in " + home.root);
    return false;
  }
  return true;
}

// In the daemon: standard streams to /dev/null and the server log, every
// other descriptor closed except the readiness pipe.
void detach_descriptors(const std::string& log, int keep) {
  int null_fd = ::open("/dev/null", O_RDONLY);
  int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0640);
  if (null_fd >= 0) ::dup2(null_fd, 0);
  if (log_fd >= 0) {
    ::dup2(log_fd, 1);
    ::dup2(log_fd, 2);
  }
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return;
  int dfd = ::dirfd(d);
  std::vector<int> close_list;
  while (struct dirent* e = ::readdir(d)) {
    int fd = std::atoi(e->d_name);
    if (fd > 2 && fd != keep && fd != dfd) close_list.push_back(fd);
  }
  ::closedir(d);
  for (int fd : close_list) ::close(fd);
}

bool wait_gone(int pid, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    std::string stat;
    if (!read_text_file("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
    size_t p = stat.rfind(')');
    if (p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z') return true;
    sleep_ms(50);
  }
  return false;
}

}  // namespace

int admin_start(const Admin_Args& args) {
  Home home;
  std::string inst;
  if (!resolve_name(args, home, inst)) return 1;
  if (int pid = running_server_pid(home, inst)) {
    return admin_error("instance " + inst + " is already running (pid " + std::to_string(pid) + ")");
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return admin_error(std::string("pipe: ") + std::strerror(errno));
  pid_t child = ::fork();
  if (child < 0) return admin_error(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    ::close(ready[0]);
    detach_descriptors(home.server_log(inst), ready[1]);
    ::fcntl(ready[1], F_SETFD, 0);
    ::setenv("OSCAR_SIM_READY_FD", std::to_string(ready[1]).c_str(), 1);
    std::string prog = home.tool("oscar");
    std::string root = home.root;
    char* argv[] = {&prog[0], const_cast<char*>("-o"), &root[0], const_cast<char*>("-d"), &inst[0], nullptr};
    ::execv(prog.c_str(), argv);
    std::string msg = "cannot run " + prog + ": " + std::strerror(errno) + "\n";
    write_all(ready[1], msg.data(), msg.size());
    ::_exit(127);
  }
  ::close(ready[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::string answer;
  bool got = read_line(ready[0], answer, START_TIMEOUT_MS);
  ::close(ready[0]);
  if (!got) return admin_error("server of " + inst + " did not report ready; see " + home.server_log(inst));
  if (answer != "OK") return admin_error("server of " + inst + " failed: " + answer);
  Instance_Conf conf = read_instance_conf(home, inst);
  std::string reply, err;
  if (!request(conf.exists ? conf.port : 2003, "PING " + inst, reply, err) || reply != "OK " + inst) {
    return admin_error("server of " + inst + " does not answer on its port: " + (err.empty() ? reply : err));
  }
  return 0;
}

int admin_stop(const Admin_Args& args) {
  Home home;
  std::string inst;
  if (!resolve_name(args, home, inst)) return 1;
  int pid = running_server_pid(home, inst);
  if (pid == 0) {
    ::unlink(home.pid_file(inst).c_str());
    return 0;
  }
  ::kill(pid, SIGTERM);
  if (!wait_gone(pid, 10000)) {
    ::kill(pid, SIGKILL);
    if (!wait_gone(pid, 5000))
      return admin_error("server of " + inst + " (pid " + std::to_string(pid) + ") does not end");
  }
  ::unlink(home.pid_file(inst).c_str());
  return 0;
}

}  // namespace sim
