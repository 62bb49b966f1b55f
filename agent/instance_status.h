#ifndef AGENT_INSTANCE_STATUS_H
#define AGENT_INSTANCE_STATUS_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

// The state of one instance's backups, as the status command shows it.

// What status knows of an instance besides its catalogued sets.
struct Status_Inputs {
  std::string instance;
  nlohmann::json records;    // its sets, as catalog_record shows them, oldest first
  nlohmann::json runs;       // its record of runs (load_run_record)
  long long max_age = 0;     // seconds a last backup may be old and still ok
  std::time_t next_run = 0;  // next scheduled backup, 0 when not known
  std::time_t now = 0;
};

// The instance's status: "instance", "verdict", "last_full" (time of the
// newest full backup's end), "last_backup" ({"backup_id", "level", "ended",
// "age_seconds"} of the newest backup, or null), "chain_length" (backups
// since the newest full, null without a full), "stored" ([{"pool",
// "pool_uuid", "size_stored"}] over its backups and exports, by pool),
// "last_failure" ({"kind", "run", "ended", "result", "cause"} of the
// latest run that failed or was canceled and has not been followed by a
// success of its kind, or null), "next_run" (time or null) and
// "max_age_seconds". The verdict: "never" (no backup), "failed" (the
// latest backup run failed or was canceled, after the newest catalogued
// backup), "old" (the newest backup ended more than max_age ago), else "ok".
nlohmann::json instance_status(const Status_Inputs& in);

// One console line of a status: "NAME: VERDICT; last full TIME; last backup
// LEVEL TIME (AGE ago); chain N; stored POOL SIZE[, ...]; failed KIND TIME:
// CAUSE; next TIME", the parts that are not known left out, times local,
// sizes in binary units or bytes (`raw`).
std::string status_line(const nlohmann::json& status, std::time_t now, bool raw);

#endif
