#include "agent/job_runner.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>

#include "agent/commands.h"
#include "agent/progress_display.h"
#include "host/jobs/job.h"
#include "host/jobs/job_def_names.h"
#include "host/jobs/job_event_manager.h"
#include "oscar/job_alert_codes.h"

namespace {

// Lines of the job log shown after a failure.
const std::size_t LOG_TAIL_LINES = 20;
// Time given to an aborted job to end. It covers the clean-up that a
// cancel does not stop: a shutdown already begun (20 s) and the wait for
// the server to go (60 checks), then the restart (30 s) and the wait for it
// to listen, so that a stopped backup never exits before its database runs
// again.
const int ABORT_GRACE_SECONDS = 150;

// The first of SIGINT, SIGTERM and SIGHUP received while a job runs.
volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int sig) {
  if (g_stop_signal == 0) {
    g_stop_signal = sig;
    return;
  }
  static const char msg[] =
      "oscar-agent: still cleaning up after the cancelled job (ending its tools, removing what it left); "
      "it ends within a minute\n";
  const ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
  (void)ignored;
}

// Catches the stop signals for the life of a job, so that the job is
// cancelled and cleans up instead of the process dying half-way; the
// previous handlers come back afterwards.
class Stop_Signals {
 public:
  Stop_Signals() {
    g_stop_signal = 0;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(SIGNALS[i], &sa, &previous_[i]);
  }
  ~Stop_Signals() {
    for (int i = 0; i < 3; ++i) ::sigaction(SIGNALS[i], &previous_[i], nullptr);
  }
  Stop_Signals(const Stop_Signals&) = delete;
  Stop_Signals& operator=(const Stop_Signals&) = delete;
  int received() const { return g_stop_signal; }

 private:
  static constexpr int SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[3];
};

const char* state_name(int state) {
  switch (state) {
    case JOB_STATE_IDLE: return "idle";
    case JOB_STATE_RUNNING: return "running";
    case JOB_STATE_COMPLETING: return "completing";
    case JOB_STATE_COMPLETED: return "completed";
    case JOB_STATE_CANCELING: return "canceling";
    case JOB_STATE_CANCELED: return "canceled";
    case JOB_STATE_ERROR: return "failed";
    case JOB_STATE_SKIPPED: return "skipped";
    default: return "unknown";
  }
}

long long file_size(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// The last lines of what was appended to `path` after byte `offset`.
void print_log_tail(const std::string& path, long long offset) {
  std::ifstream in(path);
  if (!in) return;
  in.seekg(offset);
  std::deque<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
    if (lines.size() > LOG_TAIL_LINES) lines.pop_front();
  }
  if (lines.empty()) return;
  std::fprintf(stderr, "last lines of the job log %s:\n", path.c_str());
  for (const std::string& l : lines) std::fprintf(stderr, "  %s\n", l.c_str());
}

// The warnings among the lines appended to `path` after byte `offset`, each
// as "warning: TEXT" on stderr. A log line is "DATE TIME PRIORITY TEXT".
void print_log_warnings(const std::string& path, long long offset) {
  std::ifstream in(path);
  if (!in) return;
  in.seekg(offset);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t date_end = line.find(' ');
    const std::size_t time_end = date_end == std::string::npos ? date_end : line.find(' ', date_end + 1);
    static const char WARNING[] = " WARNING ";
    if (time_end == std::string::npos || line.compare(time_end, sizeof WARNING - 1, WARNING) != 0) continue;
    std::fprintf(stderr, "warning: %s\n", line.c_str() + time_end + sizeof WARNING - 1);
  }
}

// Shows the progress events of this job; drops those of other jobs.
void show_events(const std::string& definition_id, Progress_Display& display) {
  for (const std::unique_ptr<Job_Event>& ev : Job_Event_Manager::instance()->drain()) {
    if (ev->definition_id() != definition_id || ev->kind() != Job_Event::PROGRESS) continue;
    const Job_Progress_Event& progress = static_cast<const Job_Progress_Event&>(*ev);
    Progress_Sample sample;
    sample.percent = progress.progress();
    sample.done = progress.processed();
    sample.total = progress.total();
    display.update(sample);
  }
}

double seconds_since(const ACE_Time_Value& start) {
  const ACE_Time_Value d = ACE_OS::gettimeofday() - start;
  return static_cast<double>(d.sec()) + static_cast<double>(d.usec()) / 1e6;
}

}  // namespace

std::string alert_text(int code) {
  switch (code) {
    case oscar::ALERT_NO_SOURCE: return "no backup source";
    case oscar::ALERT_NO_LATEST_BACKUP: return "newest backup not found in the catalogue";
    case oscar::ALERT_NO_ACCOUNT: return "database account not found";
    case oscar::ALERT_EMPTY_ACCOUNT: return "database account has an empty user or password";
    case oscar::ALERT_METADATA: return "backup set metadata not made";
    case oscar::ALERT_NO_HOME: return "database home not found";
    case oscar::ALERT_NO_PORT: return "database port not found";
    case oscar::ALERT_CATALOG_COMMIT: return "catalogue unusable or record refused";
    case oscar::ALERT_NO_SESSION: return "no session to the backup server";
    case oscar::ALERT_NO_POOL: return "storage pool not found";
    case oscar::ALERT_STORAGE_OPTIONS: return "storage options rejected";
    case oscar::ALERT_STORAGE_CONNECT: return "storage connection failed";
    case oscar::ALERT_STORAGE_OPEN: return "storage file could not be opened";
    case oscar::ALERT_FIFO: return "fifo could not be created or opened";
    case oscar::ALERT_STREAM_READ: return "backup stream or storage file could not be read";
    case oscar::ALERT_WRITE: return "write failed";
    case oscar::ALERT_BACKUP_INFO: return "backup chain state or backup set size invalid";
    case oscar::ALERT_INSTANCE_STOP: return "instance could not be stopped";
    case oscar::ALERT_NO_INSTANCE: return "instance not registered";
    case oscar::ALERT_CATALOG_DATA: return "catalogue data invalid";
    case oscar::ALERT_TABLESPACES: return "user tablespaces not read";
    case oscar::ALERT_EXPORT_RECORD: return "tablespace not created or export record invalid";
    case oscar::ALERT_LOG_MODE: return "log archive mode not obtained";
    case oscar::ALERT_INVALID_NAME: return "name refused by the object name rule";
    case oscar::ALERT_UNUSABLE_ACCOUNT: return "database account refused by the account rule";
    case oscar::ALERT_UNTRUSTED_HOME: return "database home's programs writable by others";
    case oscar::ALERT_BRCMD_FAILED: return "brcmd failed after its stream";
    default: return "job alert";
  }
}

bool run_job(Job_Creator& creator, const Job_Definition_var& def, const Run_Settings& settings, Run_Outcome& outcome) {
  outcome = Run_Outcome();
  // "backup (full)", "restore": a subtype of none says nothing.
  std::string kind = job_def_type_to_string(def->type(), "unknown");
  if (def->subtype() != JOB_DEFINITION_SUBTYPE_NONE) {
    kind += " (" + job_def_subtype_to_string(def->subtype(), "unknown") + ")";
  }
  Job_var job = creator.create(def);
  if (job.get() == nullptr) {
    std::fprintf(stderr,
                 "oscar-agent: the module made no job for this %s definition: the loaded module cannot run "
                 "this kind of job\n",
                 kind.c_str());
    return false;
  }
  const std::string log_path = job->log_file_path();
  const long long log_offset = file_size(log_path);
  Job_Event_Manager::instance()->drain();
  const ACE_Time_Value started = ACE_OS::gettimeofday();
  Action_Options run_options;
  run_options[RUN_OPTION_STALL_TIMEOUT] = std::to_string(settings.stall_seconds);
  if (job->start(&run_options) != 0) {
    std::fprintf(stderr, "oscar-agent: cannot start the %s job: %s\n", kind.c_str(), std::strerror(errno));
    return false;
  }
  std::fprintf(settings.console, "%s job %s started\n", kind.c_str(), def->id().c_str());
  std::fflush(settings.console);
  Progress_Display display(settings.console, settings.terminal);
  Stop_Signals signals;
  ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(settings.timeout_seconds);
  bool aborted = false;
  bool ended = false;
  for (;;) {
    ended = job->wait_for_completion(ACE_Time_Value(0, 200000));
    show_events(def->id(), display);
    if (ended) break;
    display.tick();
    // Once aborted, the job has its grace time to end; it is aborted once.
    if (aborted) {
      if (ACE_OS::gettimeofday() >= deadline) break;
      continue;
    }
    const bool signalled = signals.received() != 0;
    if (!signalled && ACE_OS::gettimeofday() < deadline) continue;
    display.finish();
    if (signalled)
      std::fprintf(stderr, "oscar-agent: %s received, cancelling the job\n", strsignal(signals.received()));
    else
      std::fprintf(stderr, "oscar-agent: the job ran longer than %d seconds, aborting it\n", settings.timeout_seconds);
    std::fflush(stderr);
    job->abort();
    aborted = true;
    deadline = ACE_OS::gettimeofday() + ACE_Time_Value(ABORT_GRACE_SECONDS);
  }
  display.finish();
  outcome.seconds = seconds_since(started);
  outcome.signal = signals.received();
  const Job_Activity& act = job->activity();
  outcome.state = ended ? static_cast<int>(act.state.load()) : static_cast<int>(JOB_STATE_ERROR);
  outcome.set_size = act.set_size;
  outcome.set_storage_size = act.set_storage_size;
  for (const Job_Alert& a : job->alerts()) std::fprintf(stderr, "alert %d: %s\n", a.code, alert_text(a.code).c_str());
  if (!ended) {
    std::fprintf(stderr, "oscar-agent: the job did not end after it was aborted\n");
    print_log_tail(log_path, log_offset);
    return false;
  }
  if (outcome.state == JOB_STATE_COMPLETED) {
    if (!settings.verbose) print_log_warnings(log_path, log_offset);
    return true;
  }
  std::fprintf(stderr, "oscar-agent: the %s job ended %s", kind.c_str(), state_name(outcome.state));
  if (act.code != 0 || !act.message.empty())
    std::fprintf(stderr, " (code %d%s%s)", act.code, act.message.empty() ? "" : ": ", act.message.c_str());
  std::fprintf(stderr, "\n");
  print_log_tail(log_path, log_offset);
  return false;
}

std::string job_summary(const std::string& what, const Run_Outcome& outcome, bool restored, const std::string& id_name,
                        const std::string& id) {
  std::string text = what + " completed: ";
  if (restored) {
    text += human_bytes(static_cast<double>(outcome.set_size)) + " restored";
  } else {
    text += human_bytes(static_cast<double>(outcome.set_storage_size)) + " stored";
    if (outcome.set_size != outcome.set_storage_size)
      text += " (" + human_bytes(static_cast<double>(outcome.set_size)) + " read)";
  }
  text += " in " + human_duration(outcome.seconds);
  if (outcome.seconds > 0) text += " at " + human_bytes(static_cast<double>(outcome.set_size) / outcome.seconds) + "/s";
  if (!id.empty()) text += ", " + id_name + " " + id;
  return text;
}

int failed_job_status(const Run_Outcome& outcome) {
  return outcome.signal != 0 ? 128 + outcome.signal : static_cast<int>(EXIT_FAILED);
}
