#ifndef AGENT_SET_REMOVAL_H
#define AGENT_SET_REMOVAL_H

#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "agent/arguments.h"
#include "host/base/job_mutex.h"

// Removal of catalogued backup sets: their stored files and their
// catalogue rows together, as expire and a forced pool removal do it. Main
// thread; the state directory must be open.

// A text member of a catalogue row; empty when the row is not an object or
// the member is missing or not a text.
std::string row_text(const nlohmann::json& row, const char* key);

// A row's "backup_start_time"; 0 when it is missing or not an integer.
long long row_start_time(const nlohmann::json& row);

// One catalogued set: the view its row belongs to ("oscar_brcmd" for a
// physical backup, "oscar" for an export) and the row as the catalogue
// answers it (an export row with its "pieces").
struct Catalogued_Set {
  std::string view;
  nlohmann::json row;
};

// Locks the resources (instance uuids) against backups, restores, exports
// and imports of them in this and other agent processes, as their jobs
// lock them, so that no set is removed while a job writes or reads the
// chain. Waits at most `seconds` for each, in a fixed order. False with
// err (nothing held) when one cannot be locked in time.
bool lock_resources(const std::set<std::string>& resources, const std::string& holder, int seconds,
                    std::vector<std::unique_ptr<Job_Lock>>& locks, std::string& err);

// The wait of lock_resources as --timeout SECONDS gives it (1 to 604800),
// 60 without it. False with err for any other value.
bool lock_seconds_option(const Command_Line& line, int& out, std::string& err);

// The id a set is known by: its "backup_id" (physical) or "uuid" (export).
std::string set_id(const Catalogued_Set& set);

// What became of one set.
struct Set_Outcome {
  enum Status { REMOVED, WOULD_REMOVE, KEPT };
  std::string id;
  std::string type;  // "full", "incremental", "cumulative" or "export"
  long long start_time = 0;
  Status status = KEPT;
  unsigned long long freed = 0;  // bytes of its stored files removed (or that would be)
  std::string note;              // why it was kept, or what was odd about its removal
};

struct Removal_Result {
  std::vector<Set_Outcome> sets;  // in the order they were dealt with
  std::size_t removed = 0;        // sets removed (or, in a dry run, that would be)
  unsigned long long freed = 0;
  // Sets kept for a fault (a file or row that could not be removed), not
  // those kept because a kept set rests on them.
  std::size_t failures = 0;
};

// Removes the sets `doomed`. `chains` are the physical rows of every
// resource of the doomed physical sets (the rows that may rest on them);
// a doomed set is removed only once no row of `chains` rests on it any
// more, so sets are removed children first, and a set that a kept set
// rests on is kept (note says so). Each set goes in its own steps: every
// stored file (its "pieces" in its pool's folder "uri"), then its row in
// one catalogue transaction. Before anything is removed every stored file
// is checked removable (Client_IO_Ex::removable); a set with a file that
// cannot go is kept, with the sets that rest on it, and counts as a
// failure. A stored file that is already missing does not keep its row
// (note says so). With dry_run nothing is changed and the answer says
// what would be removed.
Removal_Result remove_sets(const std::vector<Catalogued_Set>& doomed, const nlohmann::json& chains, bool dry_run);

// The report line of one outcome: "removed ID (TYPE of TIME, SIZE)" with SIZE in binary units,
// "would remove ...", or "kept ID (...): WHY"; a note on a removed set
// follows after "; ".
std::string outcome_line(const Set_Outcome& outcome);

// The last line: "removed N sets, freed SIZE" (or "would remove N sets,
// freeing SIZE").
std::string summary_line(const Removal_Result& result, bool dry_run);

// The whole result as JSON: {"dry_run", "removed", "freed_bytes", "sets":
// [{"backup_id", "type", "started" (ISO 8601 UTC), "status" ("removed", "would remove",
// "kept"), "freed_bytes", "note"}]}.
nlohmann::json removal_json(const Removal_Result& result, bool dry_run);

#endif
