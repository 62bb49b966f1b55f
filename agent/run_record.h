#ifndef AGENT_RUN_RECORD_H
#define AGENT_RUN_RECORD_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

// The record of runs in the state directory: for each registered instance
// one small file runs/NAME.json (0600) that keeps, per kind of run (full,
// incr, diff, restore, export, import), the last run and the last
// successful one, not a history:
//   {"instance": NAME, "kinds": {KIND: {"last": RUN, "last_success": RUN}}}
// where RUN is {"run", "started", "ended" (ISO 8601 UTC), "result"
// ("completed", "failed" or "canceled"), "cause" (empty when completed),
// "size_read", "size_stored" (bytes), "duration_seconds"}. "run" is the
// job's run name, empty when the run ended before its job started.
// Main thread; the state directory must be open.

struct Run_Entry {
  std::string run, result, cause;
  std::time_t started = 0, ended = 0;
  unsigned long long size_read = 0, size_stored = 0;
  double seconds = 0;
};

// Adds `entry` as the last run of `kind` on `instance` (and as its last
// success when completed). The file is read, changed and replaced
// atomically under the instance's lock, so that two agents that end at
// once both keep their run. On success `record` holds the whole new record
// (for the metrics). False with err (one line) when it cannot be written;
// the file is then as before.
bool record_run(const std::string& instance, const std::string& kind, const Run_Entry& entry, nlohmann::json& record,
                std::string& err);

// The record of `instance`: an empty one ({"instance", "kinds": {}}) when no
// run was recorded. False with err when the file exists but cannot be read
// or is not a record.
bool load_run_record(const std::string& instance, nlohmann::json& record, std::string& err);

// Seconds since the epoch of an ISO 8601 UTC member of a RUN, 0 when absent.
std::time_t run_time(const nlohmann::json& run, const char* key);

// Whether `kind` is a backup level (full, incr, diff).
bool backup_kind(const std::string& kind);

#endif
