#include "host/process/execute_script.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

extern char** environ;

namespace {

std::atomic<long long> g_limit_usec{3600LL * 1000000LL};

void emit(const ACE_Log_Msg_Callback_var& cb, ACE_Log_Priority prio, const std::string& line) {
  if (!cb) return;
  ACE_Log_Record record(prio, ACE_OS::gettimeofday(), static_cast<long>(getpid()));
  std::string text = line;
  text += '\n';
  record.msg_data(text.c_str());
  cb->log(record);
}

// Hands every complete line of `pending` to the callback and keeps the
// unfinished rest.
void flush_lines(const ACE_Log_Msg_Callback_var& cb, std::string& pending, bool all) {
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type nl = pending.find('\n', start);
    if (nl == std::string::npos) break;
    emit(cb, LM_INFO, pending.substr(start, nl - start));
    start = nl + 1;
  }
  pending.erase(0, start);
  if (all && !pending.empty()) {
    emit(cb, LM_INFO, pending);
    pending.clear();
  }
}

long long remaining_ms(const ACE_Time_Value& deadline) {
  const ACE_Time_Value left = deadline - ACE_OS::gettimeofday();
  if (left <= ACE_Time_Value::zero) return 0;
  return static_cast<long long>(left.msec()) + 1;
}

pid_t spawn_shell(const std::string& text, int out_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  // Descriptors the caller opened without close-on-exec must not reach the
  // script either (a held fifo end would keep a reader from seeing its end).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(text.c_str()),
                        nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

}  // namespace

void set_script_time_limit(const ACE_Time_Value& limit) {
  g_limit_usec.store(static_cast<long long>(limit.sec()) * 1000000LL + limit.usec());
}

ACE_Time_Value script_time_limit() {
  const long long usec = g_limit_usec.load();
  return ACE_Time_Value(static_cast<time_t>(usec / 1000000LL), static_cast<suseconds_t>(usec % 1000000LL));
}

bool execute_script(const std::string& text, bool log_command, const ACE_Log_Msg_Callback_var& log_callback) {
  if (text.empty()) return true;
  if (log_command) emit(log_callback, LM_INFO, "Running script: " + text);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create the script's pipe, errno=%d, %m\n"), errno));
    return false;
  }
  const pid_t pid = spawn_shell(text, fds[1]);
  close(fds[1]);
  if (pid < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to start /bin/sh, errno=%d, %m\n"), errno));
    close(fds[0]);
    return false;
  }

  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + script_time_limit();
  bool timed_out = false;
  std::string pending;
  char buf[4096];
  for (;;) {
    const long long ms = remaining_ms(deadline);
    if (ms == 0) {
      timed_out = true;
      break;
    }
    pollfd pfd = {fds[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(ms > 1000 ? 1000 : ms));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    flush_lines(log_callback, pending, false);
  }
  flush_lines(log_callback, pending, true);
  close(fds[0]);

  // The output is closed; the shell normally exits at once, but one that
  // closed its output early is still bounded by the same deadline.
  if (timed_out) kill(-pid, SIGKILL);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to wait for the script, errno=%d, %m\n"), errno));
      return false;
    }
    if (remaining_ms(deadline) == 0) {
      timed_out = true;
      kill(-pid, SIGKILL);
      continue;
    }
    ACE_OS::sleep(ACE_Time_Value(0, 10000));
  }
  if (timed_out) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Script ran longer than %d seconds and was killed\n"),
               static_cast<int>(script_time_limit().sec())));
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
