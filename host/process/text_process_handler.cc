#include "host/process/text_process_handler.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Thread.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/base/job_cancel.h"
#include "host/base/job_log.h"
#include "host/process/line_assembler.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often the reader looks for the child's exit while its pipes are quiet.
const int REAP_POLL_MS = 50;
// After the child has ended, its descendants' output is read only while it
// keeps coming at least this often.
const int LINGER_IDLE_MS = 200;
// How long terminate waits for the child to end after SIGKILL.
const unsigned long KILL_WAIT_MS = 5000;
// How long a child of a cancelled job has to end after SIGTERM.
const unsigned long CANCEL_GRACE_MS = 3000;
// Text per log record; ACE cuts records at 4096 bytes.
const unsigned long LOG_PIECE = 4000;
const size_t READ_SIZE = 65536;

bool executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file the child's exec will run for argv[0], or "" when there is none.
std::string resolve_program(const std::string& prog, const char* working_dir) {
  if (prog.find('/') != std::string::npos) {
    std::string path = prog;
    if (prog[0] != '/' && working_dir != nullptr && working_dir[0] != '\0')
      path = std::string(working_dir) + "/" + prog;
    return executable_file(path) ? path : std::string();
  }
  const char* env = std::getenv("PATH");
  const std::string search = env != nullptr ? env : "/bin:/usr/bin";
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type colon = search.find(':', pos);
    std::string dir = search.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (dir.empty()) dir = ".";
    const std::string path = dir + "/" + prog;
    if (executable_file(path)) return path;
    if (colon == std::string::npos) return std::string();
    pos = colon + 1;
  }
}

bool is_quote(char c) { return c == '"' || c == '\''; }

// Whether every argument of `text` made it into argv. ACE builds argv in a
// copy of the command line with the same layout and silently drops the
// arguments that do not fit its table; so the last argument must end where
// the text's last non-blank character is.
bool all_arguments_kept(const std::string& text, char* const* argv) {
  const std::string::size_type first = text.find_first_not_of(' ');
  if (first == std::string::npos || argv == nullptr || argv[0] == nullptr) return false;
  int n = 0;
  while (argv[n] != nullptr) ++n;
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(argv[0]) - (first + (is_quote(text[first]) ? 1 : 0));
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(argv[n - 1]);
  if (last < base || last - base > text.size()) return false;
  std::string::size_type end = (last - base) + std::strlen(argv[n - 1]);
  if (end > text.size()) return false;
  if (end < text.size() && is_quote(text[end])) ++end;
  return text.find_first_not_of(' ', end) == std::string::npos;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct Text_Process_Handler::Run {
  explicit Run(unsigned long max_line) : out_lines(max_line), err_lines(max_line), buffer(READ_SIZE) {}

  // Guards every field up to done_cv; the reader alone touches the rest.
  mutable std::mutex mutex;
  pid_t pid = -1;
  bool started = false;
  bool reaped = false;
  bool finished = false;
  bool own_group = false;
  int result = -1;
  std::condition_variable done_cv;

  // Held while the reading thread is joined, so that it is joined once.
  std::mutex join_mutex;
  bool has_thread = false;
  ACE_hthread_t thread{};

  int out_fd = -1;
  int err_fd = -1;
  ACE_Event_Handler* exit_handler = nullptr;
  // The ACE_Process_Ex's callback, which log_line writes to directly.
  std::shared_ptr<ACE_Log_Msg_Callback> log_cb;
  // Without one: the job callback bound to the spawning thread, which the
  // reading thread binds too and so keeps alive while it reads.
  ACE_Log_Msg_Callback_var spawner_cb;
  std::string label;
  Line_Assembler out_lines;
  Line_Assembler err_lines;
  std::vector<char> buffer;

  // Reaps the child if it has ended. mutex must be held.
  void try_reap() {
    int status = 0;
    pid_t got;
    do {
      got = ::waitpid(pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return;
    if (got < 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Lost track of child %d of %s, errno=%d, %m\n"), pid, label.c_str(), errno));
      result = -1;
    } else {
      result = decode_status(status);
    }
    reaped = true;
  }

  // Sends sig to the child (and its group) unless it has been reaped, so
  // that a reused pid is never signalled. mutex must be held.
  void signal_locked(int sig) {
    if (!started || reaped) return;
    if (own_group && ::kill(-pid, sig) == 0) return;
    ::kill(pid, sig);
  }

  // Waits until the reader has finished, for at most ms milliseconds.
  bool wait_finished(unsigned long ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return done_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished; });
  }

  // SIGTERM to a running child, SIGKILL after grace_ms when the reader has
  // not finished by then. False when even SIGKILL did not end it within
  // KILL_WAIT_MS. Does not join the reader.
  bool end_child(unsigned long grace_ms) {
    bool active;
    {
      std::lock_guard<std::mutex> lock(mutex);
      active = started && !finished;
      if (active) signal_locked(SIGTERM);
    }
    if (!active || wait_finished(grace_ms)) return true;
    {
      std::lock_guard<std::mutex> lock(mutex);
      signal_locked(SIGKILL);
    }
    return wait_finished(KILL_WAIT_MS + LINGER_MS);
  }

  // How the abort of the job that started the child ends it.
  struct Cancel_Link : Job_Cancel::Target {
    explicit Cancel_Link(Run& r) : run(r) {}
    void cancel() override { run.end_child(CANCEL_GRACE_MS); }
    Run& run;
  };
  // The job's cancel state while this run is enlisted in it.
  std::shared_ptr<Job_Cancel> cancel;
  Cancel_Link cancel_link{*this};

  // Enlists the run in the calling thread's job, if any; false when that
  // job is being cancelled, so that no child is started for it.
  bool enlist() {
    std::shared_ptr<Job_Cancel> job = bound_job_cancel();
    if (job == cancel) return !job || !job->requested();
    withdraw();
    if (job && !job->enlist(&cancel_link)) return false;
    cancel = job;
    return true;
  }

  void withdraw() {
    if (cancel) cancel->withdraw(&cancel_link);
    cancel.reset();
  }

  // The limit of a child started in a clean-up scope; the reader alone
  // touches these after the start.
  bool limited = false;
  bool limit_termed = false;
  unsigned long limit_ms = 0;
  Clock::time_point limit_end;

  // Ends a limited child that has outrun its limit: SIGTERM once it is
  // reached, SIGKILL when it is still there CANCEL_GRACE_MS later.
  void enforce_limit() {
    if (!limited || Clock::now() < limit_end) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (reaped) return;
    if (limit_termed) {
      signal_locked(SIGKILL);
      limited = false;
      return;
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %s ran longer than its limit of %u ms as a clean-up step; ending it\n"),
               label.c_str(), static_cast<unsigned>(limit_ms)));
    signal_locked(SIGTERM);
    limit_termed = true;
    limit_end = Clock::now() + std::chrono::milliseconds(CANCEL_GRACE_MS);
  }

  void join() {
    std::lock_guard<std::mutex> lock(join_mutex);
    if (!has_thread) return;
    ACE_Thread::join(thread, nullptr);
    has_thread = false;
  }
};

Text_Process_Handler::Text_Process_Handler(unsigned long max_line) : run_(new Run(max_line)) {}

Text_Process_Handler::~Text_Process_Handler() {
  run_->withdraw();
  if (running()) {
    ACE_ERROR((LM_WARNING, ACE_TEXT("%N:%l Child %d of %s still running when its handler went away\n"), run_->pid,
               run_->label.c_str()));
    terminate(1000);
  }
  run_->join();
}

int Text_Process_Handler::start(ACE_Process_Ex& process, ACE_Process_Options& options) {
  Run& r = *run_;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.started && !r.finished) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Cannot start a child: child %d of %s is still running\n"), r.pid,
                 r.label.c_str()));
      return -1;
    }
  }
  r.join();

  size_t capacity = 0;
  const char* buf = options.command_line_buf(&capacity);
  const std::string text = buf != nullptr ? buf : "";
  if (text.find_first_not_of(' ') == std::string::npos) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing to run an empty command line\n")));
    return -1;
  }
  if (capacity != 0 && text.size() + 1 >= capacity) {
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("%N:%l Refusing to run a command line of %d bytes: it fills the %d-byte command-line "
                        "buffer and may have been cut\n"),
               static_cast<int>(text.size()), static_cast<int>(capacity)));
    return -1;
  }
  char* const* argv = options.command_line_argv();
  if (!all_arguments_kept(text, argv)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing to run a command line whose arguments do not all fit the "
                                  "argument table\n")));
    return -1;
  }
  const std::string program = argv[0];
  if (resolve_program(program, options.working_directory()).empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Cannot run %s: not an executable file\n"), program.c_str()));
    return -1;
  }
  std::string label = process.name();
  if (label.empty()) label = program.substr(program.find_last_of('/') + 1);

  // A clean-up step's child is not ended by the job's abort: its own
  // limit bounds it instead.
  const Cleanup_Scope* cleanup = Cleanup_Scope::current();
  if (cleanup != nullptr) {
    r.withdraw();
  } else if (!r.enlist()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Not starting %s: the job is being cancelled\n"), label.c_str()));
    return -1;
  }

  int devnull = open_cloexec("/dev/null", O_RDONLY);
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  bool ok = devnull >= 0;
  if (ok && (process.flags() & ACE_Process_Ex::CAPTURE_STDOUT) != 0) ok = ::pipe2(out, O_CLOEXEC) == 0;
  if (ok && (process.flags() & ACE_Process_Ex::CAPTURE_STDERR) != 0) ok = ::pipe2(err, O_CLOEXEC) == 0;
  pid_t pid = -1;
  int saved_errno = errno;
  if (ok) {
    // A child of its own process group: the signals a terminal sends to the
    // agent's group (Ctrl-C) reach the agent only, which then ends the job's
    // tools in order instead of having them die under it.
    if (options.getgroup() == ACE_INVALID_PID) options.setgroup(0);
    options.handle_inheritance(0);
    options.set_handles(devnull, out[1] >= 0 ? out[1] : ACE_STDOUT, err[1] >= 0 ? err[1] : ACE_STDERR);
    pid = process.spawn(options);
    saved_errno = errno;
    options.release_handles();
    if (pid > 0 && options.getgroup() == 0) ::setpgid(pid, pid);
  }
  close_fd(devnull);
  close_fd(out[1]);
  close_fd(err[1]);
  if (pid <= 0) {
    close_fd(out[0]);
    close_fd(err[0]);
    errno = saved_errno;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to start %s, errno=%d, %m\n"), label.c_str(), saved_errno));
    return -1;
  }
  for (int fd : {out[0], err[0]})
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  r.out_fd = out[0];
  r.err_fd = err[0];
  r.exit_handler = nullptr;
  r.log_cb = process.log_msg_callback();
  r.spawner_cb = r.log_cb ? ACE_Log_Msg_Callback_var() : bound_log_callback();
  r.out_lines.clear();
  r.err_lines.clear();
  r.limited = cleanup != nullptr;
  r.limit_termed = false;
  if (cleanup != nullptr) {
    r.limit_ms = static_cast<unsigned long>(cleanup->limit().count());
    r.limit_end = Clock::now() + cleanup->limit();
  }
  std::lock_guard<std::mutex> lock(r.mutex);
  r.label = label;
  r.pid = pid;
  r.own_group = options.getgroup() == 0;
  r.started = true;
  r.reaped = false;
  r.finished = false;
  r.result = -1;
  // An abort between enlisting and here found no child to end.
  if (r.cancel && r.cancel->requested()) r.signal_locked(SIGKILL);
  return 0;
}

void Text_Process_Handler::pump() {
  Run& r = *run_;
  bool lingering = false;
  Clock::time_point linger_end;
  for (;;) {
    bool reaped;
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      if (!r.reaped) r.try_reap();
      reaped = r.reaped;
    }
    if (!reaped) r.enforce_limit();
    if (reaped && !lingering) {
      lingering = true;
      linger_end = Clock::now() + std::chrono::milliseconds(LINGER_MS);
    }
    pollfd fds[2];
    int n = 0;
    for (int fd : {r.out_fd, r.err_fd})
      if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
    if (reaped && n == 0) break;
    int timeout = REAP_POLL_MS;
    if (lingering) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(linger_end - Clock::now()).count();
      if (left <= 0) break;
      timeout = static_cast<int>(std::min<long long>(LINGER_IDLE_MS, left));
    }
    const int ready = ::poll(fds, n, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read the output of %s, errno=%d, %m\n"), r.label.c_str(), errno));
      break;
    }
    if (ready == 0) {
      if (lingering) break;
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const bool is_out = fds[i].fd == r.out_fd;
      const ssize_t got = ::read(fds[i].fd, r.buffer.data(), r.buffer.size());
      if (got > 0) {
        if (is_out)
          handle_stdout_segment(r.buffer.data(), static_cast<unsigned long>(got));
        else
          handle_stderr_segment(r.buffer.data(), static_cast<unsigned long>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (is_out) {
          close_fd(r.out_fd);
          handle_stdout_close();
        } else {
          close_fd(r.err_fd);
          handle_stderr_close();
        }
      }
    }
  }
  if (r.out_fd >= 0) {
    close_fd(r.out_fd);
    handle_stdout_close();
  }
  if (r.err_fd >= 0) {
    close_fd(r.err_fd);
    handle_stderr_close();
  }
  {
    // A failed poll leaves the child unreaped: wait for it here, since it
    // can no longer block on its pipes.
    std::unique_lock<std::mutex> lock(r.mutex);
    while (!r.reaped) {
      lock.unlock();
      ::usleep(REAP_POLL_MS * 1000);
      lock.lock();
      r.try_reap();
    }
  }
  if (r.exit_handler != nullptr) r.exit_handler->handle_exit(nullptr);
  std::lock_guard<std::mutex> lock(r.mutex);
  r.finished = true;
  r.done_cv.notify_all();
}

ACE_THR_FUNC_RETURN Text_Process_Handler::pump_thread(void* self) {
  Text_Process_Handler* handler = static_cast<Text_Process_Handler*>(self);
  // The thread inherited the spawner's ACE log settings; a job callback
  // bound there is bound here too, so it stays alive while this thread logs.
  if (handler->run_->spawner_cb) bind_log_callback(handler->run_->spawner_cb);
  handler->pump();
  return 0;
}

int Text_Process_Handler::call(ACE_Process_Ex& process, ACE_Process_Options& options) {
  if (start(process, options) != 0) return -1;
  pump();
  return wait();
}

int Text_Process_Handler::call(int flags, ACE_Process_Options& options) {
  ACE_Process_Ex process(flags, nullptr, nullptr);
  return call(process, options);
}

int Text_Process_Handler::spawn(ACE_Process_Ex& process, ACE_Process_Options& options,
                                ACE_Event_Handler* exit_handler) {
  if (start(process, options) != 0) return -1;
  Run& r = *run_;
  r.exit_handler = exit_handler;
  const pid_t pid = r.pid;
  std::lock_guard<std::mutex> join_lock(r.join_mutex);
  ACE_thread_t tid;
  if (ACE_Thread::spawn(pump_thread, this, THR_NEW_LWP | THR_JOINABLE, &tid, &r.thread) == -1) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("%N:%l Failed to start the output reader of %s, errno=%d, %m\n"), r.label.c_str(), errno));
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.signal_locked(SIGKILL);
    }
    r.exit_handler = nullptr;
    pump();
    return -1;
  }
  r.has_thread = true;
  return pid;
}

int Text_Process_Handler::finish_wait(bool have_deadline, const ACE_Time_Value& timeout) {
  Run& r = *run_;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    if (!r.started) {
      errno = ECHILD;
      return -1;
    }
    if (!have_deadline) {
      r.done_cv.wait(lock, [&r] { return r.finished; });
    } else if (!r.done_cv.wait_for(lock, std::chrono::milliseconds(timeout.msec()), [&r] { return r.finished; })) {
      errno = ETIME;
      return -1;
    }
  }
  r.join();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.result;
}

int Text_Process_Handler::wait() { return finish_wait(false, ACE_Time_Value::zero); }

int Text_Process_Handler::wait(const ACE_Time_Value& timeout) { return finish_wait(true, timeout); }

int Text_Process_Handler::terminate(unsigned long grace_ms) {
  Run& r = *run_;
  if (!r.end_child(grace_ms)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Child %d of %s did not end after SIGKILL\n"), r.pid, r.label.c_str()));
    return -1;
  }
  r.join();
  return 0;
}

pid_t Text_Process_Handler::pid() const {
  std::lock_guard<std::mutex> lock(run_->mutex);
  return run_->pid;
}

bool Text_Process_Handler::running() const {
  std::lock_guard<std::mutex> lock(run_->mutex);
  return run_->started && !run_->finished;
}

int Text_Process_Handler::handle_stdout_line(const char* line, unsigned long len) {
  log_line(LM_DEBUG, line, len);
  return 0;
}

int Text_Process_Handler::handle_stderr_line(const char* line, unsigned long len) {
  log_line(LM_ERROR, line, len);
  return 0;
}

int Text_Process_Handler::handle_stdout_segment(const char* data, unsigned long len) {
  run_->out_lines.feed(data, len, [this](const char* l, unsigned long n) { handle_stdout_line(l, n); });
  return 0;
}

int Text_Process_Handler::handle_stderr_segment(const char* data, unsigned long len) {
  run_->err_lines.feed(data, len, [this](const char* l, unsigned long n) { handle_stderr_line(l, n); });
  return 0;
}

int Text_Process_Handler::handle_stdout_close() {
  run_->out_lines.finish([this](const char* l, unsigned long n) { handle_stdout_line(l, n); });
  return 0;
}

int Text_Process_Handler::handle_stderr_close() {
  run_->err_lines.finish([this](const char* l, unsigned long n) { handle_stderr_line(l, n); });
  return 0;
}

void Text_Process_Handler::log_line(ACE_Log_Priority priority, const char* line, unsigned long len) {
  const std::shared_ptr<ACE_Log_Msg_Callback>& cb = run_->log_cb;
  do {
    const unsigned long piece = std::min(len, LOG_PIECE);
    if (cb) {
      std::string text(line, piece);
      text += '\n';
      ACE_Log_Record record(priority, ACE_OS::gettimeofday(), ACE_OS::getpid());
      record.msg_data(text.c_str());
      cb->log(record);
    } else {
      ACE_LOG_MSG->log(priority, ACE_TEXT("%.*s\n"), static_cast<int>(piece), line);
    }
    line += piece;
    len -= piece;
  } while (len != 0);
}
