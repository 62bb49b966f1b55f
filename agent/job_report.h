#ifndef AGENT_JOB_REPORT_H
#define AGENT_JOB_REPORT_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "agent/arguments.h"
#include "agent/run_record.h"

struct Run_Outcome;

// The --json document of a job command (backup, restore, export, import),
// printed once however the command ends, so that a script always reads one
// document and the exit status is the same as without --json: "command",
// "result" ("completed", "failed" or "canceled"), what the command learnt
// of its sets and instance so far (set()), and once its job ran
// "size_read", "size_stored" (bytes) and "duration_seconds". A command that
// did not complete adds "cause" (its headline's cause in words) and, when
// its job raised one, "alert" and "alert_text" (its first alert). Without
// --json nothing is printed. Once the command has named its instance and
// kind of run (record_as), however it ends (but "not run") also records the
// run in the state directory's record of runs and, when the configuration
// names a metrics-dir, rewrites the instance's metrics file there; a
// failure of either is one warning line on stderr, never the command's
// failure. Main thread.
class Job_Report {
 public:
  // `line` need only live for the constructor.
  Job_Report(const Command_Line& line, const std::string& command);

  // Adds or replaces a member the command learnt ("backup_id", "pool", ...).
  void set(const std::string& key, const nlohmann::json& value);

  // The registered instance the run is recorded for and its kind (full,
  // incr, diff, restore, export, import); a later call replaces an earlier
  // one (a backup that ran at another level than asked). Until it is called
  // the command's end is not recorded.
  void record_as(const std::string& instance, const std::string& kind);

  // Ends a command that failed around its job: "oscar-agent: TEXT" on
  // stderr (as fail() prints it) and the document with result "canceled"
  // for a status above 128 (128 + a stop signal), else "failed", its cause
  // TEXT without the command's own "COMMAND: " prefix. Answers `status`.
  int fail(int status, const std::string& text);

  // Ends a command whose job ran: result "completed" when `status` is
  // EXIT_OK, else "canceled" or "failed" with the outcome's cause and
  // alert. Answers `status`.
  int ended(int status, const Run_Outcome& outcome);

  // Ends a command whose job was not to run on this node (another node of
  // its cluster runs it): "not run: WHY" on stdout, or the document with
  // result "not run" and WHY as its cause. Answers EXIT_OK.
  int not_run(const Run_Outcome& outcome);

 private:
  int finish(int status, const std::string& result, const std::string& cause);
  void record(const std::string& result, const std::string& cause);

  bool json_;
  std::string command_;
  nlohmann::json doc_;
  std::string record_instance_, record_kind_;
  Run_Entry entry_;  // what the run recorded learnt so far
  double started_;   // the command's start on the monotonic clock
};

#endif
