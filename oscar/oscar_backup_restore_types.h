#ifndef OSCAR_OSCAR_BACKUP_RESTORE_TYPES_H
#define OSCAR_OSCAR_BACKUP_RESTORE_TYPES_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/base/job_log.h"
#include "tollix/secure_allocator.h"

// Plain records that carry one export or import job from its executor to
// the commands that run the database tools. They own their texts; copying
// copies everything (the password stays in secure memory). Not shared
// between threads.

// One export file. Its level follows from the names that are set: table
// when schema and table are both set, else schema when schema is set, else
// database (a table without a schema is ignored).
struct Backup_File {
  std::string database;
  std::string schema;
  std::string table;
  std::string file;  // absolute path of the dump file
};

// Everything an export needs.
struct Backup_Input {
  std::string oscar_home;
  std::string instance;  // also the database argument of the export tool
  std::string username;
  secure_string password;
  std::vector<Backup_File> files;             // the exports to make, in order
  ACE_Log_Msg_Callback_var log_msg_callback;  // may be empty
};

// Everything an import needs.
struct Restore_Input {
  std::string original_database;
  std::string restore_as_database;  // the target instance and database
  std::string restore_as_schema;    // empty for a database-level import
  std::string restore_as_table;     // empty unless table-level
  std::string backup_file;          // the dump file to import
  std::string oscar_home;
  std::string username;
  secure_string password;
  std::uint16_t port = 0;
  ACE_Log_Msg_Callback_var log_msg_callback;  // may be empty
};

#endif
