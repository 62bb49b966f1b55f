#ifndef TESTS_SUPPORT_EXPORT_SET_H
#define TESTS_SUPPORT_EXPORT_SET_H

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "host/catalog/backup_set.h"
#include "oscar/oscar_backup_restore_types.h"

// An export backup set made the way an export job makes one, for tests of
// the import: osrexp writes each dump into the export's run directory
// (dump spool / definition id / INSTANCE_DB) through oscar::backup as the
// file-set writer's pre-action, the writer stores that directory in the
// pool, the record of view "oscar" is committed, and the run directory is
// removed again. The host's root prefix, state directory, pool and the
// instance's server must be set up by the test.
struct Export_Set_Request {
  std::string definition_id = "def-export";  // the export job's definition
  std::string resource_id = "res-1";         // the export job's source id
  std::string host_id = "host-1";
  std::string pool_uuid = "pool-1";
  std::string uuid;  // of the set; made from the definition id and the stored seq when empty
  std::string oscar_home, instance, username, password;
  // What to export: database, schema and table of each file (file is
  // filled in); the level follows the names, as for Backup_File.
  std::vector<Backup_File> sources;
  std::time_t start_time = 0;  // now when 0
  unsigned int seq = 0;
};

// The committed record, as built from the request and what the writer and the
// database answered; the dump paths are in its files().
::testing::AssertionResult make_export_set(const Export_Set_Request& request, Oscar_Backup_Set& record);

#endif
