#ifndef AGENT_JOB_DOCUMENTS_H
#define AGENT_JOB_DOCUMENTS_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/services/instance_manager.h"

// The job definitions the agent's backup and restore commands make, in the
// JSON form of job-definition files (job_definition_loader.h), so that they
// go through the same loader and the module's own parsers as a definition
// given to "run". Stateless; safe from any thread.

// What a backup command asks for.
struct Backup_Request {
  std::string subtype;      // "full", "incremental" or "cumulative"
  std::string pool_uuid;    // the target pool
  std::string compression;  // a storage compression name, e.g. "zstd"
  int level = 1;
};

// The resource id of an instance's physical backups: the instance's uuid.
// Every backup and restore of the instance uses it, so its backups form one
// chain in the catalogue and one folder in each pool.
std::string resource_id(const Instance& inst);

// A physical backup definition of `inst` (entries "oscar/NAME"), made by
// the agent host `host_id`. Its id is stable per instance, so the job log
// of every backup of the instance is one file.
nlohmann::json backup_definition(const Instance& inst, const std::string& host_id, const Backup_Request& request);

// A physical restore definition of `inst` up to the backup set of catalogue
// row `row` (view "oscar_brcmd"): the row's host, definition, pool, backup
// id and sequence become the restore source. With verify false the options
// turn off the check of the stored sets before the restore. False with err
// when the row lacks one of them.
bool restore_definition(const Instance& inst, const std::string& host_id, const nlohmann::json& row,
                        nlohmann::json& out, std::string& err, bool verify = true);

// What an export command asks for.
struct Export_Request {
  std::vector<std::string> entries;  // DATABASE[/SCHEMA[/TABLE]], one per --entries
  std::string pool_uuid;
  std::string compression;
  int level = 1;
};

// An export definition of `inst` (subtype "export", entries
// "oscar/NAME/ENTRY"). False with err when an entry is empty, has an empty
// part or more than three parts.
bool export_definition(const Instance& inst, const std::string& host_id, const Export_Request& request,
                       nlohmann::json& out, std::string& err);

// Where an import goes: the target instance and, when given, the schema
// and table to import into instead of the exported ones.
struct Import_Request {
  std::string database;  // the exported database to import; empty: the set's only (or first) one
  std::string schema;    // empty: the file's own schema
  std::string table;     // empty: the file's own table
};

// An import definition into `target` of export set `row` (view "oscar",
// with its "backup_files"): the file of the requested database becomes the
// restore source's original, restored as `target` at the file's level
// unless the request names a schema or table. False with err when the row
// lacks what the import needs or holds no file of the database.
bool import_definition(const Instance& target, const std::string& host_id, const nlohmann::json& row,
                       const Import_Request& request, nlohmann::json& out, std::string& err);

#endif
