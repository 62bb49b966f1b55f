#ifndef HOST_CATALOG_OPERATOR_H
#define HOST_CATALOG_OPERATOR_H

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "host/catalog/backup_set.h"

// The backup catalogue: an SQLite database "catalog.db" in the agent's
// state directory (WAL journal), shared by every job thread and every agent
// process. Each call opens its own connection, so operators may be used
// from several threads at once (one operator per thread). A database that
// another connection keeps locked is retried, each wait bounded by the busy
// timeout, until max_seconds_retry seconds have passed; then the call fails.
class Catalog_Operator {
 public:
  // busy_timeout_ms: longest wait for a lock in one attempt, -1 for 1000.
  // max_seconds_retry: bound of all attempts of one call, -1 for 30; 0
  // makes one attempt.
  explicit Catalog_Operator(int busy_timeout_ms = -1, int max_seconds_retry = -1);

  // Answers a query on view "oscar" or "oscar_brcmd", collection
  // "catalogs" or (view "oscar_brcmd" only) "catalog_sequences", as result
  // = {"rows": [...]}; the query language is that of catalog_query.h.
  // Stored rows that are not valid JSON objects are skipped (logged). False
  // (logged, result unchanged) for a bad query, a broken chain, or a
  // database that cannot be read in time.
  bool get_view(const std::string& name, const std::string& collection, const nlohmann::json& query,
                nlohmann::json& result);

  // Records a stored set: first its manifest, beside its files in its
  // pool (set_manifest.h), then its row, with a non-empty "state" array
  // (["available"]), replacing an earlier record of the same view and
  // uuid. False (logged, nothing stored: a manifest written is removed
  // again) when the record is incomplete, its pool is not registered, the
  // manifest cannot be written or the database cannot be written in time.
  bool commit(const Backup_Set& set);

  // Adds the row of a set that its pool's manifest describes (as
  // `catalog rebuild` finds it) without writing anything to the pool: 1
  // when it was added, 0 when the catalogue already holds a row of that
  // view and uuid (left as it is), -1 (logged) when the database cannot be
  // written in time.
  int adopt(const std::string& view, const nlohmann::json& row);
  // Adopts many rows ({view, row}, as adopt does) in one transaction: true
  // with added[i] 1 (added) or 0 (already held) for each row; false
  // (logged, error() says why) when the database cannot be written in
  // time, and then none of them is added.
  bool adopt_all(const std::vector<std::pair<std::string, nlohmann::json>>& rows, std::vector<int>& added);

  // Removes the record of `uuid` in view `name` ("oscar" or
  // "oscar_brcmd") in one transaction. A physical set that another set of
  // its resource still rests on (parent_backup_id of catalog_query.h) is
  // refused, so that no removal, however interrupted, leaves a chain whose
  // link is gone: remove the sets resting on it first. Answers 1 when the
  // record was removed, 0 when there was none, -1 (logged, error() says
  // why, nothing removed) when refused or when the database cannot be
  // written in time.
  int remove(const std::string& name, const std::string& uuid);

  // Opens the catalogue and proves it usable before a job relies on it: it
  // must be an SQLite database whose tables include the catalogue's (a
  // database without tables is new and gets them), pass PRAGMA
  // quick_check, and let its write lock be taken, each within the retry
  // bound (a catalogue that another process keeps locked is waited for,
  // then fails). False (logged) with err, and error(), saying "the
  // catalogue PATH is not usable: " and why.
  bool check(std::string& err);

  // Text of the last failure.
  const std::string& error() const { return error_; }

  // Path of the database file ("" when the state directory is not set).
  static std::string database_path();

 private:
  // Writes a row (a "state" is set): replacing one of the same view and
  // uuid, or leaving it. 1 added or replaced, 0 left, -1 on failure.
  int insert(const std::string& view, nlohmann::json& row, bool replace);
  // Writes rows (each given its "state") in one transaction; added as
  // adopt_all answers it.
  bool insert_rows(std::vector<std::pair<std::string, nlohmann::json>>& rows, bool replace, std::vector<int>& added);

  int busy_timeout_ms_;
  int max_seconds_retry_;
  std::string error_;
};

#endif
