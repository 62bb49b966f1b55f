#ifndef AGENT_CATALOG_LISTING_H
#define AGENT_CATALOG_LISTING_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>

// The physical backup sets of the catalogue, as the agent lists them and as
// a restore picks its point. Main thread; the state directory must be open.

// The rows of view "oscar_brcmd" for one resource (all resources when
// `resource_uuid` is empty), oldest first. False with err when the
// catalogue cannot be read.
bool backup_rows(const std::string& resource_uuid, nlohmann::json& rows, std::string& err);

// The export sets of view "oscar" for one resource (all when empty), oldest
// first, each in the listing's shape: "backup_id" (the set's uuid), "type"
// "export", "level" (database, schema or table), "contents" (a text per
// file: DATABASE[/SCHEMA[/TABLE]]) besides the row's own keys, its file
// list ("backup_files") included. False with err when the catalogue cannot
// be read.
bool export_rows(const std::string& resource_uuid, nlohmann::json& rows, std::string& err);

// The rows of a listing, backups and exports ordered by start time: those
// of one resource when `resource_uuid` is given, else those of every
// instance registered here, and with `all` also those of resources no
// registered instance names (instances removed since their sets were
// made). False with err when the catalogue cannot be read.
bool catalog_selection(const std::string& resource_uuid, bool all, nlohmann::json& rows, std::string& err);

// Whether `uuid` is the resource of catalogued sets that no registered
// instance names (an instance removed since): false when it is not, or
// the catalogue cannot be read (err then says why).
bool unregistered_resource(const std::string& uuid, std::string& err);

// Physical and export rows of one listing, ordered by start time.
nlohmann::json merge_by_start_time(const nlohmann::json& a, const nlohmann::json& b);

// The row of the backup `backup_id` of a resource, or (empty `backup_id`)
// its newest backup. False with err when there is none.
bool find_restore_point(const std::string& resource_uuid, const std::string& backup_id, nlohmann::json& row,
                        std::string& err);

// Writes rows as a table with the columns ID, TYPE, TIME (local), SIZE
// (bytes of the set), POOL (its name when `pool_names` knows the uuid) and
// CHAIN (the set a non-full backup rests on; for an export its level and
// contents). Rows of the wrong shape show
// "?" in the fields they lack.
std::string format_catalog_table(const nlohmann::json& rows, const std::map<std::string, std::string>& pool_names);

#endif
