#ifndef AGENT_JOB_RUNNER_H
#define AGENT_JOB_RUNNER_H

#include <cstdio>
#include <functional>
#include <string>

#include "host/jobs/job_creator.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_run_options.h"

// How the agent runs one job.
struct Run_Settings {
  // Longest run; after it the job is aborted, and when it still has not
  // ended a minute later the run counts as failed.
  int timeout_seconds = 6 * 3600;
  // Longest time a tool of the job may move no byte before the job fails.
  int stall_seconds = DEFAULT_STALL_TIMEOUT_SECONDS;
  // Redraw one progress line in place (a terminal) instead of plain
  // progress lines.
  bool terminal = false;
  // The job's log lines are also on the console (see route_log_lines); the
  // warnings of a completed job are then not repeated after it.
  bool verbose = false;
  // Where the "job started" line and the progress go: stdout, or stderr
  // when stdout carries a JSON document.
  std::FILE* console = stdout;
  // Asked when the job ended skipped (its module found it was not to run
  // here): true when the caller knows why and reports it itself, so the
  // run reports nothing. Unset: a skipped job is reported as failed.
  std::function<bool()> skip_explained;
};

// What a run left behind, for the caller's summary.
struct Run_Outcome {
  int state = 0;  // the job's last Job_State
  // The run, as its job log names it ("20261211-143955.4242.1"), the
  // definition it ran and the log's path; empty before the job started.
  std::string run, definition, log;
  unsigned long long set_size = 0;
  unsigned long long set_storage_size = 0;
  // SIGINT, SIGTERM or SIGHUP when one cancelled the job, else 0.
  int signal = 0;
  // Of a job that did not complete: the cause its headline gives (the
  // first error this run logged, or what stopped it) and the code of its
  // first alert, 0 when it raised none.
  std::string cause;
  int alert = 0;
  // Wall time from the job's start to its end.
  double seconds = 0;
  // Time from the first report of data moved to the job's end, 0 when
  // none came or the data came in one burst (see
  // Progress_Display::moving_seconds): the time the rate of the data is
  // taken over, so that the start-up (logins, stopping an instance) does
  // not count.
  double moving_seconds = 0;
  // Of a job that was not to run on this node: one line why ("node 2 of
  // the cluster was chosen"); empty otherwise. Set by the caller that
  // explained the skip (Run_Settings::skip_explained).
  std::string not_run;
};

// Catches SIGINT, SIGTERM and SIGHUP for its life, so that a command can
// cancel in order (end the job's tools, put things back) instead of the
// process dying half-way; the previous handlers come back afterwards. The
// first signal is kept; a second one while a job is being canceled only
// says that the clean-up is under way. Objects nest: an inner one (run_job's)
// keeps what the outer one received. Main thread.
class Stop_Signals {
 public:
  Stop_Signals();
  ~Stop_Signals();
  Stop_Signals(const Stop_Signals&) = delete;
  Stop_Signals& operator=(const Stop_Signals&) = delete;
  // The first signal received since the outermost object was made, else 0.
  int received() const;
};

// The exit status of a command whose job did not complete: 128 + the
// signal that cancelled it, else EXIT_FAILED.
int failed_job_status(const Run_Outcome& outcome);

// Makes the job for `def` with `creator` (the module's), starts it and follows
// it to its end; SIGINT, SIGTERM and SIGHUP meanwhile abort the job (as the
// time-out does) and are waited out, a second one only saying so; one
// received before the start (during a command's own checks) keeps the job
// from starting. Progress goes to stdout, ending on its last figure when the
// job completed, and a line while the job waits for another job of its
// resource. On stderr: a job that did not complete ends with one headline,
// "the KIND job ended canceled" when a signal stopped it, else "the KIND job
// failed: CAUSE (alert N: TEXT)" where CAUSE is the first error this run
// logged; the other alerts and, for a failure, the end of the job's log
// (only what this run wrote) follow; `outcome` keeps the headline's cause
// and alert code. When the job completed without `settings.verbose`, the
// warnings this run logged follow on stderr ("warning: TEXT"). Answers true
// only when the job completed. The job is released before returning; its
// run thread may still be ending (the module's unloading waits for it).
// Main thread.
bool run_job(Job_Creator& creator, const Job_Definition_var& def, const Run_Settings& settings, Run_Outcome& outcome);

// The line that ends a completed job: "WHAT completed: SIZE stored in TIME at
// RATE", where SIZE is the set's size on storage (followed by "(SIZE read)"
// when the data read differs) and RATE the data read per second while data
// moved (over the whole run when no progress said when it began); a restore
// (`restored`) says "SIZE restored". ", ID_NAME ID" follows when `id` is not
// empty.
std::string job_summary(const std::string& what, const Run_Outcome& outcome, bool restored, const std::string& id_name,
                        const std::string& id);

// Text of a job alert code of the module (oscar::Job_Alert_Code); a
// generic text for codes it does not know.
std::string alert_text(int code);

#endif
