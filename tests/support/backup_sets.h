#ifndef TESTS_SUPPORT_BACKUP_SETS_H
#define TESTS_SUPPORT_BACKUP_SETS_H

#include <string>

#include "host/catalog/backup_set.h"
#include "host/storage/pool_info.h"

// Registers a file pool `uuid` storing in `dir`, so that sets recorded in
// it get their manifests there.
inline bool register_file_pool(const std::string& uuid, const std::string& dir) {
  Pool_Info pool;
  pool.uuid = uuid;
  pool.name = uuid;
  pool.url = "file://" + dir;
  return add_pool(pool);
}

// A complete record of a full physical backup `id` of resource "res",
// stored as one piece in `storage`, as a backup job would commit it.
inline Oscar_Brcmd_Backup_Set full_backup_set(const std::string& id, const Backup_Set_Storage& storage) {
  Oscar_Brcmd_Backup_Set s;
  s.uuid(id);
  s.backup_id(id);
  s.definition_uuid("def");
  s.resource_uuid("res");
  s.uri("res");
  s.type(Oscar_Brcmd_Backup_Set::KIND);
  s.backup_type("full");
  s.start_time(100);
  s.backup_file(id + ".zst");
  s.last_full_backup_id(id);
  s.last_backup_id(id);
  s.full_backup_uuid(id);
  s.add_storage(storage);
  s.add_piece(s.backup_file(), 0);
  return s;
}

#endif
