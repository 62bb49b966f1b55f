// The server role: "HOME/bin/oscar -o HOME -d NAME". It listens on the
// instance's port on 127.0.0.1, keeps admin/NAME.db naming its pid while it
// runs, and ends on SIGTERM, SIGINT or a SHUTDOWN request, removing the pid
// file. Started as a daemon by "oscar-sim start", which passes the write end
// of a readiness pipe in OSCAR_SIM_READY_FD.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "faults.h"
#include "home.h"
#include "net.h"
#include "roles.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

namespace {

int g_signal_pipe[2] = {-1, -1};

void on_signal(int) {
  char c = 's';
  ssize_t r = ::write(g_signal_pipe[1], &c, 1);
  (void)r;
}

void log_line(const std::string& text) {
  char ts[32];
  std::time_t now = std::time(nullptr);
  std::strftime(ts, sizeof ts, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::printf("%s %s\n", ts, text.c_str());
  std::fflush(stdout);
}

// Tells "oscar-sim start" the outcome once: "OK" or the error text.
void report_ready(const std::string& text) {
  uint64_t fd = 0;
  if (!parse_u64(env_or_empty("OSCAR_SIM_READY_FD"), fd) || fd > 1024) return;
  std::string line = text + "\n";
  write_all(static_cast<int>(fd), line.data(), line.size());
  ::close(static_cast<int>(fd));
  ::unsetenv("OSCAR_SIM_READY_FD");
}

int fail(const std::string& text) {
  log_line("FATAL: " + text);
  report_ready(text);
  return 1;
}

// Answers one request; true when the server is to shut down.
bool serve(int client, const std::string& inst) {
  std::string line, reply;
  bool stop = false;
  if (!read_line(client, line, 2000)) return false;
  if (line == "PING " + inst) {
    reply = "OK " + inst;
  } else if (line == "SHUTDOWN " + inst) {
    reply = "BYE " + inst;
    stop = true;
  } else {
    reply = "ERR unknown request or instance";
  }
  reply += "\n";
  write_all(client, reply.data(), reply.size());
  return stop;
}

}  // namespace

int run_server(int argc, char** argv) {
  Home home{home_of_program(argv[0])};
  std::string inst;
  for (int i = 1; i + 1 < argc; ++i) {
    std::string a = argv[i];
    if (a == "-o")
      home.root = argv[++i];
    else if (a == "-d")
      inst = argv[++i];
  }
  if (home.root.empty() || inst.empty()) return fail("usage: oscar -o HOME -d NAME");
  json state;
  std::string err;
  if (!load_state(home, state, err)) return fail(err);
  if (!find_instance(state, inst)) return fail("instance " + inst + " does not exist");
  Faults faults = Faults::for_tool("server", find_instance(state, inst));
  Instance_Conf conf = read_instance_conf(home, inst);
  if (conf.exists && !conf.has_port) return fail("no port line in " + home.conf_file(inst));
  uint16_t port = conf.exists ? conf.port : 2003;
  if (int other = running_server_pid(home, inst)) {
    return fail("instance " + inst + " is already running (pid " + std::to_string(other) + ")");
  }
  int lfd = listen_local(port, err);
  if (lfd < 0) return fail(err);
  if (::pipe2(g_signal_pipe, O_CLOEXEC) != 0) return fail("pipe failed");
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  if (faults.has("ignore-term")) {
    ::signal(SIGTERM, SIG_IGN);
  } else {
    ::sigaction(SIGTERM, &sa, nullptr);
  }
  std::string pid_text = std::to_string(::getpid()) + "\n";
  if (!write_file_atomic(home.pid_file(inst), pid_text)) return fail("cannot write " + home.pid_file(inst));
  {
    // Opening the instance ends any restore in progress: a later
    // incremental restore needs a full one first.
    File_Lock lock(home.state_lock());
    json fresh;
    if (lock.held() && load_state(home, fresh, err)) {
      json* entry = find_instance(fresh, inst);
      if (entry && !(*entry)["restore_point"].is_null()) {
        (*entry)["restore_point"] = nullptr;
        save_state(home, fresh, err);
      }
    }
  }
  log_line("instance " + inst + " listening on 127.0.0.1:" + std::to_string(port) + ", pid " +
           std::to_string(::getpid()));
  report_ready("OK");
  bool stop = false;
  while (!stop) {
    pollfd p[2] = {{lfd, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
    int r = ::poll(p, 2, 1000);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (p[1].revents) {
      log_line("signal received, shutting down");
      break;
    }
    if (p[0].revents & POLLIN) {
      int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      stop = serve(c, inst);
      ::close(c);
      if (stop) log_line("shutdown requested");
    }
  }
  ::close(lfd);
  std::string now;
  if (read_text_file(home.pid_file(inst), now) && now == pid_text) ::unlink(home.pid_file(inst).c_str());
  log_line("instance " + inst + " stopped");
  return 0;
}

}  // namespace sim
