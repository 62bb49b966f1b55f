#ifndef HOST_CATALOG_QUERY_H
#define HOST_CATALOG_QUERY_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The catalogue's query language over the rows of one view, apart from
// the database that holds them. rows are the view's rows in commit order
// (oldest first), each an object. Both functions answer result =
// {"rows": [...]} and true, or false with err saying what is wrong with the
// query or the data. Stateless; safe from any thread.

// Collection "catalogs". Query members:
// - filters: a member name with a text, number or boolean value keeps the
//   rows whose member equals it (a number also matches its decimal text
//   and the reverse). View "oscar": uuid, definition_uuid, resource_uuid,
//   host_uuid, pool_uuid, dbinstance, grade, seq, type, and "database",
//   which keeps sets with a file of that database. View "oscar_brcmd":
//   uuid, definition_uuid, resource_uuid, host_uuid, pool_uuid, backup_id,
//   backup_lsn, backup_scn, type, backup_file. Any other name is an error.
// - "with_files" (view "oscar"): "1" keeps the "backup_files" member in
//   the answer, "0" (the default) leaves it out.
// - "sort": the member to order by; "start_time" and "end_time" name
//   "backup_start_time" and "backup_end_time". Without it rows stay in
//   commit order.
// - "order": "asc" (default) or "desc"; rows that compare equal keep
//   commit order ascending and come newest first descending.
// - "limit": a non-negative integer, the most rows answered.
bool select_catalog_rows(const std::string& view, const std::vector<nlohmann::json>& rows, const nlohmann::json& query,
                         nlohmann::json& result, std::string& err);

// Collection "catalog_sequences" of view "oscar_brcmd": the sets a restore
// up to the set with "backup_id" must feed, in the order the restore tool
// takes them: the full backup first, then each set resting on the one
// before it, the named set last. A set of type "full" ends the walk; one of
// type "cumulative" (differential) rests on its full backup
// ("full_backup_uuid") alone; any other rests on the set named by its
// "last_backup_id". Sets are matched within the named set's resource, the
// newest commit winning when one backup id was committed twice.
// "resource_uuid" may narrow the search for the named set. "order" and
// "sort" are accepted and ignored: the restore order is the only one in
// which the sets can be applied, so it is always the answer. An unknown
// backup id answers no rows; a chain with a missing or repeated link is an
// error, since restoring part of a chain would be wrong.
// The backup id of the set that a row of view "oscar_brcmd" rests on, as
// the sequence above walks it: empty for a full backup, "full_backup_uuid"
// for a differential ("cumulative"), "last_backup_id" for any other.
std::string parent_backup_id(const nlohmann::json& row);

bool select_catalog_sequence(const std::vector<nlohmann::json>& rows, const nlohmann::json& query,
                             nlohmann::json& result, std::string& err);

#endif
