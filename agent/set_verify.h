#ifndef AGENT_SET_VERIFY_H
#define AGENT_SET_VERIFY_H

#include <nlohmann/json.hpp>
#include <string>

// The agent's check of stored backup sets against their catalogue rows,
// the same check a restore makes before it stops the instance. Main thread;
// the state directory must be open.

// What one set's check found.
enum Set_Check_Result {
  SET_OK,            // size and digest as recorded, every frame intact
  SET_MISMATCH,      // missing, altered, cut short, or its row is unusable
  SET_NOT_VERIFIED,  // recorded without a digest
};

// Checks the stored file of one catalogue row of view "oscar_brcmd" (its
// pool by "pool_uuid", folder "uri", file "backup_file", size and digest
// from its storage entry), reading it once. line is the report:
// "<backup_id> <file> ok", "<backup_id> <file> MISMATCH: <why>" or
// "<backup_id> <file> not verified: no digest recorded".
Set_Check_Result check_stored_set(const nlohmann::json& row, std::string& line);

// verify --pool POOL: every set of this host in one pool, by its manifest
// (readable, its set present with its size, its digest by reading it),
// and every catalogued set of the pool has a manifest there. One line per
// set ("ok ..." or the problem), a summary line; EXIT_FAILED on any
// problem. Opens the state directory itself.
int verify_pool_command(const std::string& state, const std::string& pool_name);

#endif
