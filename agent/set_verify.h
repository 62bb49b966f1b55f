#ifndef AGENT_SET_VERIFY_H
#define AGENT_SET_VERIFY_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The agent's check of stored backup sets against their catalogue rows,
// the same check a restore makes before it stops the instance. Main thread;
// the state directory must be open.

// What one set's check found.
enum Set_Check_Result {
  SET_OK,            // as recorded (size, and with digests its digest and every frame)
  SET_MISSING,       // the pool holds no file of that name
  SET_MISMATCH,      // its bytes differ: another size, digest, or a frame that does not decode
  SET_NOT_VERIFIED,  // recorded without a digest (digests only)
  SET_UNCHECKED,     // its row is unusable, or its pool cannot be reached
};

// How much of a stored set is checked: its stored size (no read), or its
// whole stored form read once against the recorded digest.
enum class Set_Check_Depth { sizes, digests };

// The word a report gives a result: "ok", "MISSING", "MISMATCH", "not
// verified" or "cannot check".
const char* set_check_word(Set_Check_Result result);

// The parts of one set's report, for a JSON document.
struct Set_Check_Detail {
  std::string pool;                      // the pool's name, its uuid when unregistered, "" when the row names none
  std::string reason;                    // why the set is not ok; "" when it is
  unsigned long long size_recorded = 0;  // the stored size the catalogue records
  long long size_found = -1;             // the stored size in the pool; -1 when not found or not looked for
};

// Checks the stored file of one catalogue row of view "oscar_brcmd" (its
// pool by "pool_uuid", folder "uri", file "backup_file", size and digest
// from its storage entry). line is the report: "<backup_id> <file> ok",
// "... MISSING: <why>", "... MISMATCH: <why>", "... not verified: no
// digest recorded" or "... cannot check: <why>"; `detail`, when given,
// holds its parts.
Set_Check_Result check_stored_set(const nlohmann::json& row, std::string& line,
                                  Set_Check_Depth depth = Set_Check_Depth::digests, Set_Check_Detail* detail = nullptr);

// What the check of every catalogued set of an instance found.
struct Sets_Check {
  std::size_t checked = 0;            // sets looked at, backups and exports
  std::size_t not_verified = 0;       // backups recorded without a digest (digests only)
  std::vector<std::string> problems;  // a report line of check_stored_set per set not as recorded
};

// Checks every catalogued set of one resource (instance uuid): each backup
// by check_stored_set at `depth`, each export by the presence of its
// stored files (exports record no size per file). False with err when the
// catalogue cannot be read.
bool check_resource_sets(const std::string& resource, Set_Check_Depth depth, Sets_Check& out, std::string& err);

// What verify shows: one line per set as it is checked, or with --json
// one document at the end, {"instance", "pool", "ok", "problems", "sets"}
// where each set is {"backup_id", "instance", "pool", "file", "result",
// "reason", "size_stored", "size_found"}. Main thread.
class Verify_Listing {
 public:
  // `instance` and `pool` name what is verified (null for the other).
  Verify_Listing(bool json, const nlohmann::json& instance, const nlohmann::json& pool);
  // One set checked: its line (text), or `set` (json). `problem` counts it
  // as one.
  void add(bool problem, const std::string& line, const nlohmann::json& set);
  // Prints `summary` (text, when not empty) or the document; answers
  // EXIT_FAILED when a problem was added, else EXIT_OK.
  int finish(const std::string& summary);
  std::size_t ok() const { return ok_; }
  std::size_t problems() const { return problems_; }

 private:
  bool json_;
  nlohmann::json doc_;
  std::size_t ok_ = 0, problems_ = 0;
};

// verify --pool POOL: every set of this host in one pool, by its manifest
// (readable, its set present with its size, its digest by reading it),
// and every catalogued set of the pool has a manifest there. One line per
// set ("ok ..." or the problem), a summary line, or under `json` one
// document (Verify_Listing); EXIT_FAILED on any problem. Opens the state
// directory itself.
int verify_pool_command(const std::string& state, const std::string& pool_name, bool json);

#endif
