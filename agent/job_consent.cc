#include "agent/job_consent.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "agent/job_runner.h"
#include "host/base/agent_state.h"
#include "host/base/job_cancel.h"
#include "host/process/execute_script.h"

namespace {

// The longest the checks before a job wait for one tool (the login test).
const std::chrono::seconds PREFLIGHT_TOOL_LIMIT(5);
// The longest the stop script may run.
const int STOP_SCRIPT_SECONDS = 60;

// How often a wait for the answer looks for a stop signal.
const int ANSWER_POLL_MS = 100;

// One line typed on standard input, without its line end. False at the
// end of input, on a read error, or once a stop signal came: the handler
// may have run on another thread (the module's), leaving a blocking read
// here uninterrupted, so the wait looks for it itself.
bool read_answer(std::string& answer) {
  Stop_Signals signals;
  answer.clear();
  for (;;) {
    if (signals.received() != 0) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, ANSWER_POLL_MS);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    answer += c;
  }
}

}  // namespace

bool instance_running(const Oscar_Module& module, const Registered_Instance& inst) {
  std::string state;
  return module.functions().get_instance_state(inst.home.c_str(), inst.name.c_str(), state);
}

bool consent(const std::string& name, const std::string& question, const std::string& flag, bool given,
             std::string& err) {
  if (given) return true;
  if (isatty(STDIN_FILENO) != 1) {
    err = question + "; without a terminal to ask, give " + flag + " to go on";
    return false;
  }
  std::fprintf(stderr, "%s. Type %s to go on: ", question.c_str(), name.c_str());
  std::fflush(stderr);
  std::string answer;
  const bool answered = read_answer(answer);
  // Ctrl-C or Ctrl-D leave the cursor behind the question.
  if (!answered) std::fputc('\n', stderr);
  if (!answered || answer != name) {
    err = "not confirmed; nothing was changed";
    return false;
  }
  return true;
}

bool preflight(const Oscar_Module& module, const Registered_Instance& inst, std::string& err) {
  if (!home_trusted(inst.name, inst.home, err)) return false;
  if (!instance_running(module, inst)) {
    uint16_t port = 0;
    const bool known = module.functions().get_instance_port(inst.home.c_str(), inst.name.c_str(), port);
    err = inst.name + ": the server does not answer" +
          (known ? " (nothing listens on port " + std::to_string(port) + ")" : " (its port cannot be read)");
    return false;
  }
  std::string why;
  bool ok;
  const auto started = std::chrono::steady_clock::now();
  {
    // The login's tool is ended once it has run the limit, so that a server
    // that accepts but never answers costs seconds, not the job's time-out.
    Cleanup_Scope bounded(PREFLIGHT_TOOL_LIMIT);
    Module_Log log;
    ok = module.test_login(inst.home, inst.name, inst.user, inst.password.c_str(), why);
  }
  if (!ok && std::chrono::steady_clock::now() - started >= PREFLIGHT_TOOL_LIMIT)
    why = "the server did not answer within " + std::to_string(PREFLIGHT_TOOL_LIMIT.count()) + " seconds";
  if (!ok) err = inst.name + ": login as " + inst.user + " failed: " + why;
  return ok;
}

bool stop_instance_again(const Registered_Instance& inst, std::string& err) {
  const std::string script = root_path("/etc/init.d/oscardb_" + inst.name + "d");
  if (::access(script.c_str(), X_OK) != 0) {
    err = "cannot stop " + inst.name + " again: " + script + " is missing";
    return false;
  }
  set_script_time_limit(ACE_Time_Value(STOP_SCRIPT_SECONDS));
  if (execute_script("'" + script + "' stop", false, ACE_Log_Msg_Callback_var())) return true;
  err = "cannot stop " + inst.name + " again: " + script + " stop failed";
  return false;
}
