#ifndef AGENT_CATALOG_LISTING_H
#define AGENT_CATALOG_LISTING_H

#include <ctime>
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

// Names for the uuids a listing shows: pool uuid to name, instance
// (resource) uuid to name.
struct Listing_Names {
  std::map<std::string, std::string> pools;
  std::map<std::string, std::string> instances;
};

// The names of the registered pools and instances. False with err when the
// pool registry cannot be read.
bool listing_names(Listing_Names& names, std::string& err);

// One catalogue row (of backup_rows or export_rows) as the agent shows it:
// "backup_id", "instance" (null when no registered instance has its uuid),
// "instance_uuid", "type" ("backup" or "export"), "level" (full,
// incremental, cumulative; database, schema, table), "pool" (null when no
// registered pool has its uuid), "pool_uuid", "started", "ended" (ISO 8601
// UTC, null when not known), "size_read", "size_stored" (bytes), "chain"
// (the backup a non-full backup rests on, else null), "host" (the id of the
// host that made it), "files" (the stored files, relative to the pool) and
// for an export "contents" (DATABASE[/SCHEMA[/TABLE]] a file). A member
// the row lacks is null.
nlohmann::json catalog_record(const nlohmann::json& row, const Listing_Names& names);

// Writes records (of catalog_record) as a table with the columns ID,
// INSTANCE, TYPE (a backup's level, or "export LEVEL"), TIME (local), AGE
// (before `now`), READ, STORED (in binary units, or bytes when `raw`), POOL
// and CHAIN ("on ID" for an incremental, "full ID" for a cumulative, its
// contents for an export). A field a record lacks shows "?".
std::string format_catalog_table(const nlohmann::json& records, std::time_t now, bool raw);

#endif
