#ifndef OSCAR_BRCMD_BACKUP_SET_RECORD_H
#define OSCAR_BRCMD_BACKUP_SET_RECORD_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "host/catalog/backup_set.h"
#include "oscar/last_backup_info.h"

class Job;

namespace oscar {

// The record map of a physical backup (a JSON object), filled in steps by
// the backup executor and turned into the catalogue record at the end.

// Puts the chain a run extends (read before the backup) into cat under
// "last_full_backup_id", "last_full_backup_lsn", "last_full_backup_scn",
// "last_backup_id", "last_backup_lsn" and "last_backup_scn".
void put_chain_values(nlohmann::json& cat, const Last_Backup_Info& chain);

// Puts the identity of the backup just taken (the last backup of the chain
// state read after it) into cat: "backup_id" and "uuid" (the same text),
// "backup_lsn", "backup_scn". For a full run the six chain keys name the
// backup itself.
void put_backup_identity(nlohmann::json& cat, const Last_Backup_Info& after, bool full);

// Builds the catalogue record of a physical backup from cat (read only)
// into bset: every required key must be present with its type (texts, and
// numbers for the sizes, LSNs and SCNs), and "pool_uuid" and
// "backup_set_storage_size" give the one storage entry, with
// "backup_set_digest" (the stored file's digest, 32 lowercase hex digits)
// when the map has it; a map without it makes an entry without a digest. resource_id is the
// job source's id, start_time the run's start. On a missing or mistyped key
// raises ALERT_CATALOG_DATA, logs "Failed to build oscar brcmd backup set: ..."
// and answers false; bset then holds part of the values and must not be
// committed. A failed minor resource id is logged and does not stop the
// record. Safe from any thread on its own bset.
bool build_oscar_brcmd_backup_set(Job& job, const std::string& resource_id, std::time_t start_time,
                                  const nlohmann::json& cat, Oscar_Brcmd_Backup_Set& bset);

}  // namespace oscar

#endif
