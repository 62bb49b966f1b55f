#include "agent/job_runner.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <vector>

#include "agent/commands.h"
#include "agent/job_log_reading.h"
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
// How often a job that shows no data moving yet has its log read for a
// wait on another job.
const double WAIT_CHECK_SECONDS = 1.0;

// The first of SIGINT, SIGTERM and SIGHUP received while a Stop_Signals
// lives, and how many of those objects live.
volatile sig_atomic_t g_stop_signal = 0;
int g_stop_depth = 0;
const int STOP_SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];

void on_stop_signal(int sig) {
  if (g_stop_signal == 0) {
    g_stop_signal = sig;
    return;
  }
  static const char msg[] =
      "oscar-agent: still cleaning up after the canceled job (ending its tools, removing what it left); "
      "it ends within a minute\n";
  const ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
  (void)ignored;
}

// The last lines of what this run appended to the job log at `path`.
void print_log_tail(const std::string& path, long long offset) {
  const std::vector<std::string> lines = job_log_tail(path, offset, LOG_TAIL_LINES);
  if (lines.empty()) return;
  std::fprintf(stderr, "last lines of the job log %s:\n", path.c_str());
  for (const std::string& l : lines) std::fprintf(stderr, "  %s\n", l.c_str());
}

// The warnings this run logged, each as "warning: TEXT" on stderr.
void print_log_warnings(const std::string& path, long long offset) {
  for (const std::string& w : job_log_texts(path, offset, "WARNING")) std::fprintf(stderr, "warning: %s\n", w.c_str());
}

// Says once on the console that the job waits for another job of its
// resource, as the job's log tells it ("Job ID waits for the lock of KEY,
// held by WHOM"), so that a run that seems to hang explains itself.
class Wait_Notice {
 public:
  Wait_Notice(std::FILE* console, const std::string& path, long long offset)
      : console_(console), path_(path), offset_(offset) {}
  void check(double now, Progress_Display& display) {
    if (shown_ || now - checked_at_ < WAIT_CHECK_SECONDS) return;
    checked_at_ = now;
    static const std::string WAITS = " waits for the lock of ";
    for (const std::string& text : job_log_texts(path_, offset_, "INFO")) {
      const std::size_t at = text.find(WAITS);
      if (at == std::string::npos) continue;
      display.finish();
      std::fprintf(console_, "waiting for another job: the lock of %s\n", text.c_str() + at + WAITS.size());
      std::fflush(console_);
      shown_ = true;
      return;
    }
  }

 private:
  std::FILE* console_;
  std::string path_;
  long long offset_;
  bool shown_ = false;
  double checked_at_ = -1e18;
};

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

Stop_Signals::Stop_Signals() {
  if (g_stop_depth++ > 0) return;
  g_stop_signal = 0;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 3; ++i) ::sigaction(STOP_SIGNALS[i], &sa, &g_previous[i]);
}

Stop_Signals::~Stop_Signals() {
  if (--g_stop_depth > 0) return;
  for (int i = 0; i < 3; ++i) ::sigaction(STOP_SIGNALS[i], &g_previous[i], nullptr);
}

int Stop_Signals::received() const { return g_stop_signal; }

namespace {

// The end of a job that did not complete, on stderr: the headline, the
// alerts not in it and, for a failure, the end of what this run logged.
// The headline's cause and alert code are kept in `outcome`.
void report_unfinished(const std::string& kind, Job& job, Run_Outcome& outcome, const std::string& log_path,
                       long long log_offset) {
  const std::vector<Job_Alert> alerts = job.alerts();
  std::size_t first_alert = 0;
  if (outcome.state == JOB_STATE_CANCELED) {
    if (outcome.signal != 0) outcome.cause = std::string(strsignal(outcome.signal)) + " received";
    std::fprintf(stderr, "oscar-agent: the %s job ended canceled\n", kind.c_str());
  } else {
    std::string headline = "oscar-agent: the " + kind + " job failed";
    outcome.cause = first_error_cause(log_path, log_offset);
    if (!outcome.cause.empty()) headline += ": " + outcome.cause;
    if (!alerts.empty()) {
      headline += " (alert " + std::to_string(alerts[0].code) + ": " + alert_text(alerts[0].code) + ")";
      outcome.alert = alerts[0].code;
      if (outcome.cause.empty()) outcome.cause = alert_text(alerts[0].code);
      first_alert = 1;
    } else if (outcome.cause.empty()) {
      const Job_Activity& act = job.activity();
      outcome.cause = "code " + std::to_string(act.code) + (act.message.empty() ? "" : ": " + act.message);
      headline += " (" + outcome.cause + ")";
    }
    std::fprintf(stderr, "%s\n", headline.c_str());
  }
  for (std::size_t i = first_alert; i < alerts.size(); ++i)
    std::fprintf(stderr, "alert %d: %s\n", alerts[i].code, alert_text(alerts[i].code).c_str());
  // A cancel was asked for: its log lines explain nothing the person needs.
  if (outcome.state != JOB_STATE_CANCELED) print_log_tail(log_path, log_offset);
}

// The name of a run: what its log's name adds to the definition's
// ("DEF.20261211-143955.4242.1.log" gives "20261211-143955.4242.1").
std::string run_name(const std::string& log_path) {
  static const std::regex stamp("\\.([0-9]{8}-[0-9]{6}\\.[0-9]+\\.[0-9]+)\\.log$");
  std::smatch m;
  if (std::regex_search(log_path, m, stamp)) return m[1];
  const std::size_t slash = log_path.rfind('/');
  return slash == std::string::npos ? log_path : log_path.substr(slash + 1);
}

}  // namespace

bool run_job(Job_Creator& creator, const Job_Definition_var& def, const Run_Settings& settings, Run_Outcome& outcome) {
  outcome = Run_Outcome();
  // "backup (full)", "restore": a subtype of none says nothing.
  std::string kind = job_def_type_to_string(def->type(), "unknown");
  if (def->subtype() != JOB_DEFINITION_SUBTYPE_NONE) {
    kind += " (" + job_def_subtype_to_string(def->subtype(), "unknown") + ")";
  }
  Stop_Signals signals;
  if (signals.received() != 0) {
    outcome.signal = signals.received();
    outcome.state = JOB_STATE_CANCELED;
    outcome.cause = std::string(strsignal(outcome.signal)) + " received before the job started";
    std::fprintf(stderr, "oscar-agent: %s received, the %s job was not started: canceled\n", strsignal(outcome.signal),
                 kind.c_str());
    return false;
  }
  Job_var job = creator.create(def);
  if (job.get() == nullptr) {
    outcome.cause = "the loaded module cannot run this kind of job";
    std::fprintf(stderr,
                 "oscar-agent: the module made no job for this %s definition: the loaded module cannot run "
                 "this kind of job\n",
                 kind.c_str());
    return false;
  }
  const std::string log_path = job->log_file_path();
  const long long log_offset = job_log_size(log_path);
  Job_Event_Manager::instance()->drain();
  const ACE_Time_Value started = ACE_OS::gettimeofday();
  Action_Options run_options;
  run_options[RUN_OPTION_STALL_TIMEOUT] = std::to_string(settings.stall_seconds);
  if (job->start(&run_options) != 0) {
    const int error = errno;
    outcome.cause = std::string("cannot start the job: ") + std::strerror(error);
    std::fprintf(stderr, "oscar-agent: cannot start the %s job: %s\n", kind.c_str(), std::strerror(error));
    return false;
  }
  outcome.run = run_name(log_path);
  outcome.definition = def->id();
  outcome.log = log_path;
  std::fprintf(settings.console, "%s run %s started (job %s)\n", kind.c_str(), outcome.run.c_str(),
               def->id().c_str());
  std::fflush(settings.console);
  Progress_Display display(settings.console, settings.terminal);
  Wait_Notice wait_notice(settings.console, log_path, log_offset);
  ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(settings.timeout_seconds);
  bool aborted = false;
  bool timed_out = false;
  bool ended = false;
  for (;;) {
    ended = job->wait_for_completion(ACE_Time_Value(0, 200000));
    show_events(def->id(), display);
    if (ended) break;
    display.tick();
    if (display.moving_seconds() == 0) wait_notice.check(seconds_since(started), display);
    // Once aborted, the job has its grace time to end; it is aborted once.
    if (aborted) {
      if (ACE_OS::gettimeofday() >= deadline) break;
      continue;
    }
    const bool signalled = signals.received() != 0;
    if (!signalled && ACE_OS::gettimeofday() < deadline) continue;
    display.finish();
    timed_out = !signalled;
    if (signalled)
      std::fprintf(stderr, "oscar-agent: %s received, canceling the job\n", strsignal(signals.received()));
    else
      std::fprintf(stderr, "oscar-agent: the job ran longer than %d seconds, aborting it\n", settings.timeout_seconds);
    std::fflush(stderr);
    job->abort();
    aborted = true;
    deadline = ACE_OS::gettimeofday() + ACE_Time_Value(ABORT_GRACE_SECONDS);
  }
  outcome.seconds = seconds_since(started);
  outcome.moving_seconds = display.moving_seconds();
  outcome.signal = signals.received();
  const Job_Activity& act = job->activity();
  outcome.state = ended ? static_cast<int>(act.state.load()) : static_cast<int>(JOB_STATE_ERROR);
  // A job stopped by a signal ended as the person asked, whichever way its
  // tools went down: it is canceled.
  if (outcome.signal != 0 && outcome.state != JOB_STATE_COMPLETED) outcome.state = JOB_STATE_CANCELED;
  outcome.set_size = act.set_size;
  outcome.set_storage_size = act.set_storage_size;
  if (timed_out)
    outcome.cause = "the job ran longer than " + std::to_string(settings.timeout_seconds) + " seconds and was aborted";
  if (outcome.state == JOB_STATE_COMPLETED) {
    display.complete();
    for (const Job_Alert& a : job->alerts()) std::fprintf(stderr, "alert %d: %s\n", a.code, alert_text(a.code).c_str());
    if (!settings.verbose) print_log_warnings(log_path, log_offset);
    return true;
  }
  display.finish();
  if (ended && outcome.state == JOB_STATE_SKIPPED && settings.skip_explained && settings.skip_explained()) return false;
  if (!ended) {
    outcome.cause = "the job did not end after it was aborted";
    std::fprintf(stderr, "oscar-agent: %s\n", outcome.cause.c_str());
    for (const Job_Alert& a : job->alerts()) std::fprintf(stderr, "alert %d: %s\n", a.code, alert_text(a.code).c_str());
    print_log_tail(log_path, log_offset);
    return false;
  }
  report_unfinished(kind, *job, outcome, log_path, log_offset);
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
  const double moving = outcome.moving_seconds > 0 ? outcome.moving_seconds : outcome.seconds;
  if (moving > 0) text += " at " + human_bytes(static_cast<double>(outcome.set_size) / moving) + "/s";
  if (!id.empty()) text += ", " + id_name + " " + id;
  return text;
}

int failed_job_status(const Run_Outcome& outcome) {
  return outcome.signal != 0 ? 128 + outcome.signal : static_cast<int>(EXIT_FAILED);
}
