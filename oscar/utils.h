#ifndef OSCAR_UTILS_H
#define OSCAR_UTILS_H

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "host/services/instance_manager.h"
#include "oscar/oscar_backup_restore_types.h"
#include "oscar/oscar_export.h"

// Instance-level services and the browse functions. Texts are
// NUL-terminated UTF-8; a null or empty required text is logged at
// LM_EMERGENCY and gives false. Every failure is logged once. No shared
// state: any thread may call them; they block while isql runs.

// The instance's listening port from HOME/admin/INSTANCE.conf (the first
// line matching "port = DIGITS"); 2003 when that file does not exist.
// False when the file cannot be read or has no port line (port unchanged).
OSCAR_EXPORT bool get_instance_port(const char* oscar_home, const char* instance, uint16_t& port);

// "online" when the instance's port is listening, else "offline" (also on
// every failure); answers whether it is online.
OSCAR_EXPORT bool get_instance_state(const char* oscar_home, const char* instance, std::string& state);

// Whether the process named by HOME/admin/INSTANCE.db runs. pid receives
// the id read from that file (unchanged when none could be read). False for
// a missing or unreadable file too.
bool instance_running(const char* oscar_home, const char* instance, int& pid);

// Starts the instance through /etc/init.d/oscardb_INSTANCEd when that
// script exists, else through "systemctl start oscard@INSTANCE", then waits
// up to about 15 seconds (through the host's sleep) for it to listen. An
// instance name holding anything but letters, digits, "_", "-" or "." is
// refused before any command is built. Answers whether the start command
// succeeded (an instance still offline after the wait does not change it).
bool start_instance(const char* oscar_home, const char* instance);

// The longest the start script of an instance that a job stopped may run
// when the job is being cancelled (it runs all the same, bounded by this).
const std::chrono::milliseconds INSTANCE_START_LIMIT(30000);

// Whether USERNAME/PASSWORD can log in to the instance through isql. When
// error is not null and isql refused with an error line, *error holds
// "Error, MESSAGE.". The password never reaches the log.
OSCAR_EXPORT bool test_login_instance(const char* oscar_home, const char* instance, const char* username,
                                      const char* password, std::string* error);

// The option `key` of the host's instance record (such as "oscar_home");
// false when the record is empty (logged) or lacks the option (not logged).
OSCAR_EXPORT bool get_from_instance_options(const Instance_ptr& instance, const char* key, std::string& value);

// Describes one database: value becomes an array of one object with
// "database" and "status" ("open" or "unopened" when the login fails, which
// answers true), and for an open one "archivelog" (bool) and "version" (the
// record's option). A failure after the checks leaves the partial array.
OSCAR_EXPORT bool get_database_info(const Instance_ptr& inst, const char* instance, const char* username,
                                    const char* password, nlohmann::json& value);

// The user schema names of the database as an array of strings. `db` only
// names the database in log lines.
OSCAR_EXPORT bool get_schemas_info(const Instance_ptr& inst, const char* instance, const char* db, const char* username,
                                   const char* password, nlohmann::json& val);

// The table names of one schema (matched in upper case) as an array of
// strings.
OSCAR_EXPORT bool get_tables_info(const Instance_ptr& inst, const char* instance, const char* db, const char* schema,
                                  const char* username, const char* password, nlohmann::json& val);

// The text before the last "/" or "\\" of path; empty when it holds
// neither. Thread-safe.
std::string dirname(const std::string& path);

// Exports every file of input with HOME/bin/osrexp, in order: a file with
// schema and table set at table level, with schema set at schema level,
// else the whole database (named by input->instance). Every name that
// reaches a command line (the database, and the schema and table a file
// uses) must pass the object name rule, and every dump path must be a
// plain path (no blanks, quotes or control characters): anything else is
// refused, logged, before any tool runs. Answers true when every export
// ended with status 0 and left its dump file; the first failure ends the
// run (logged once) and later files are not exported. An empty file list
// answers true at once. The password reaches only the tool's command line
// and is masked in the logged copy. Blocks while the tool runs; any thread.
bool backup(const Backup_Input* input);

// Imports input->backup_file with HOME/bin/osrimp into restore_as_database,
// at table level when restore_as_schema and restore_as_table are set (after
// "create schema if not exists" through isql, whose result does not
// matter), at schema level when restore_as_schema is set, else the whole
// database. Names and the dump path are checked as for backup before any
// tool runs. The port comes from the instance configuration of
// restore_as_database (input->port is not used). Answers true exactly when
// the import tool ended with status 0. Blocks while the tools run; any
// thread.
bool restore(const Restore_Input* input);

#endif
