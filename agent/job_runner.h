#ifndef AGENT_JOB_RUNNER_H
#define AGENT_JOB_RUNNER_H

#include <cstdio>
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
};

// What a run left behind, for the caller's summary.
struct Run_Outcome {
  int state = 0;  // the job's last Job_State
  unsigned long long set_size = 0;
  unsigned long long set_storage_size = 0;
  // SIGINT, SIGTERM or SIGHUP when one cancelled the job, else 0.
  int signal = 0;
  // Wall time from the job's start to its end.
  double seconds = 0;
};

// The exit status of a command whose job did not complete: 128 + the
// signal that cancelled it, else EXIT_FAILED.
int failed_job_status(const Run_Outcome& outcome);

// Makes the job for `def` with `creator` (the module's), starts it and follows
// it to its end; SIGINT, SIGTERM and SIGHUP meanwhile abort the job (as the
// time-out does) and are waited out, a second one only saying so: progress on stdout, alerts and, on failure, the end
// of the job's log (only what this run wrote) on stderr; when the job completed without `settings.verbose`, the
// warnings this run logged follow on stderr ("warning: TEXT"). Answers true only when the job completed. The job is
// released before returning; its run thread may still be ending (the module's unloading waits for it). Main thread.
bool run_job(Job_Creator& creator, const Job_Definition_var& def, const Run_Settings& settings, Run_Outcome& outcome);

// The line that ends a completed job: "WHAT completed: SIZE stored in TIME at
// RATE", where SIZE is the set's size on storage (followed by "(SIZE read)"
// when the data read differs) and RATE the data read per second; a restore
// (`restored`) says "SIZE restored". ", ID_NAME ID" follows when `id` is not
// empty.
std::string job_summary(const std::string& what, const Run_Outcome& outcome, bool restored, const std::string& id_name,
                        const std::string& id);

// Text of a job alert code of the module (oscar::Job_Alert_Code); a
// generic text for codes it does not know.
std::string alert_text(int code);

#endif
