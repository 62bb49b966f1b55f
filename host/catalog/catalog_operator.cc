#include "host/catalog/catalog_operator.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/sleep.h"
#include "host/catalog/catalog_query.h"
#include "host/catalog/set_manifest.h"

namespace {

using json = nlohmann::json;

const char* const SCHEMA =
    "CREATE TABLE IF NOT EXISTS backup_sets ("
    " seqno INTEGER PRIMARY KEY AUTOINCREMENT,"
    " view TEXT NOT NULL, uuid TEXT NOT NULL, resource_uuid TEXT NOT NULL,"
    " definition_uuid TEXT NOT NULL, record TEXT NOT NULL,"
    " UNIQUE (view, uuid));"
    "CREATE INDEX IF NOT EXISTS backup_sets_resource ON backup_sets (view, resource_uuid);";

bool busy(int rc) {
  rc &= 0xff;
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

// One connection for one call; closed when it goes away.
class Connection {
 public:
  ~Connection() {
    if (db_) sqlite3_close_v2(db_);
  }

  // Opens the database and, unless told not to, makes sure of its schema.
  // Answers an SQLite result code; err is set on failure.
  int open(const std::string& path, int busy_ms, std::string& err, bool schema = true) {
    // Made first with mode 0600, whatever the umask: SQLite would create
    // it readable by everyone, and its journal files take the mode of the
    // database file.
    const int fd = open_cloexec(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (fd < 0) {
      err = "cannot open " + path + ": " + std::strerror(errno);
      return SQLITE_CANTOPEN;
    }
    ::close(fd);
    int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(db_, busy_ms);
      rc = exec("PRAGMA journal_mode=WAL;");
    }
    if (rc == SQLITE_OK && schema) rc = exec(SCHEMA);
    if (rc != SQLITE_OK) err = describe(rc);
    return rc;
  }

  int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  std::string describe(int rc) const {
    return std::string(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)) + " (code " + std::to_string(rc) + ")";
  }

  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~Statement() { sqlite3_finalize(st_); }
  int rc() const { return rc_; }
  void bind(int i, const std::string& v) { sqlite3_bind_text(st_, i, v.c_str(), -1, SQLITE_TRANSIENT); }
  int step() { return sqlite3_step(st_); }
  // Makes the statement ready to be stepped again (its bindings kept).
  void reset() { sqlite3_reset(st_); }
  std::string column(int i) {
    const unsigned char* t = sqlite3_column_text(st_, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st_, i)))
             : std::string();
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_;
};

std::string text_filter(const json& query, const char* key) {
  const auto it = query.find(key);
  return it != query.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Catalog_Operator::Catalog_Operator(int busy_timeout_ms, int max_seconds_retry)
    : busy_timeout_ms_(busy_timeout_ms < 0 ? 1000 : busy_timeout_ms),
      max_seconds_retry_(max_seconds_retry < 0 ? 30 : max_seconds_retry) {}

std::string Catalog_Operator::database_path() {
  const std::string& dir = agent_state_dir();
  return dir.empty() ? std::string() : dir + "/catalog.db";
}

// Runs attempt (which answers an SQLite result code) until it answers
// anything but "busy" or the retry bound has passed.
template <typename F>
static int with_retries(int busy_ms, int max_seconds, F attempt) {
  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(max_seconds);
  for (;;) {
    const int rc = attempt(busy_ms);
    if (!busy(rc) || ACE_OS::gettimeofday() >= deadline) return rc;
    host_sleep(ACE_Time_Value(0, 100 * 1000));
  }
}

bool Catalog_Operator::get_view(const std::string& name, const std::string& collection, const json& query,
                                json& result) {
  const bool sequences = collection == "catalog_sequences";
  if ((name != "oscar" && name != "oscar_brcmd") || (collection != "catalogs" && !sequences) ||
      (sequences && name != "oscar_brcmd")) {
    error_ = "unknown catalogue view " + name + "/" + collection;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue query failed: %C\n"), error_.c_str()));
    return false;
  }
  if (!query.is_object()) {
    error_ = "the query is not an object";
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue query failed: %C\n"), error_.c_str()));
    return false;
  }
  const std::string path = database_path();
  if (path.empty() || mkdir_p(agent_state_dir(), 0700) != 0) {
    error_ = "no agent state directory for the catalogue";
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue query failed: %C\n"), error_.c_str()));
    return false;
  }
  // Narrow the read by the indexed members the query names; the full
  // filtering is the query language's.
  const std::string resource = sequences ? std::string() : text_filter(query, "resource_uuid");
  const std::string definition = sequences ? std::string() : text_filter(query, "definition_uuid");
  std::string sql = "SELECT record FROM backup_sets WHERE view = ?1";
  if (!resource.empty()) sql += " AND resource_uuid = ?2";
  if (!definition.empty()) sql += " AND definition_uuid = ?3";
  sql += " ORDER BY seqno";

  std::vector<std::string> texts;
  std::string err;
  const int rc = with_retries(busy_timeout_ms_, max_seconds_retry_, [&](int busy_ms) {
    texts.clear();
    Connection c;
    int r = c.open(path, busy_ms, err);
    if (r != SQLITE_OK) return r;
    Statement st(c.db(), sql.c_str());
    if (st.rc() != SQLITE_OK) {
      err = c.describe(st.rc());
      return st.rc();
    }
    st.bind(1, name);
    if (!resource.empty()) st.bind(2, resource);
    if (!definition.empty()) st.bind(3, definition);
    while ((r = st.step()) == SQLITE_ROW) texts.push_back(st.column(0));
    if (r != SQLITE_DONE) {
      err = c.describe(r);
      return r;
    }
    return SQLITE_OK;
  });
  if (rc != SQLITE_OK) {
    error_ = "cannot read the catalogue " + path + ": " + err;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue query failed: %C\n"), error_.c_str()));
    return false;
  }
  std::vector<json> rows;
  rows.reserve(texts.size());
  std::size_t bad = 0;
  for (const std::string& t : texts) {
    json row = json::parse(t, nullptr, false);
    if (row.is_discarded() || !row.is_object()) {
      ++bad;
      continue;
    }
    rows.push_back(std::move(row));
  }
  if (bad)
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Skipped %B malformed catalogue records of view %C\n"), bad, name.c_str()));
  json answer;
  const bool ok = sequences ? select_catalog_sequence(rows, query, answer, err)
                            : select_catalog_rows(name, rows, query, answer, err);
  if (!ok) {
    error_ = err;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue query on %C/%C failed: %C\n"), name.c_str(), collection.c_str(),
               error_.c_str()));
    return false;
  }
  result = std::move(answer);
  return true;
}

bool Catalog_Operator::commit(const Backup_Set& set) {
  json row;
  std::string missing;
  if (!set.to_row(row, missing)) {
    error_ = "incomplete " + std::string(set.kind()) + " record: no " + missing;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue commit refused: %C\n"), error_.c_str()));
    return false;
  }
  // The pool is the record and the catalogue its index: the set's
  // manifest is durable in its pool before its row exists, and goes again
  // when the row cannot be written.
  std::string err;
  if (!write_manifest(describe_set(set.view(), row), err)) {
    error_ = err;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue commit failed: %C\n"), error_.c_str()));
    return false;
  }
  if (insert(set.view(), row, true) == 1) return true;
  std::string ignored;
  if (!remove_manifest(row, ignored))
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to remove the manifest of an unrecorded set: %C\n"), ignored.c_str()));
  return false;
}

int Catalog_Operator::adopt(const std::string& view, const json& manifest_row) {
  json row = manifest_row;
  return insert(view, row, false);
}

bool Catalog_Operator::adopt_all(const std::vector<std::pair<std::string, json>>& rows, std::vector<int>& added) {
  std::vector<std::pair<std::string, json>> stamped = rows;
  return insert_rows(stamped, false, added);
}

int Catalog_Operator::insert(const std::string& view, json& row, bool replace) {
  std::vector<std::pair<std::string, json>> rows{{view, std::move(row)}};
  std::vector<int> added;
  const bool ok = insert_rows(rows, replace, added);
  row = std::move(rows[0].second);
  return ok ? added[0] : -1;
}

bool Catalog_Operator::insert_rows(std::vector<std::pair<std::string, json>>& rows, bool replace,
                                   std::vector<int>& added) {
  const std::string path = database_path();
  if (path.empty() || mkdir_p(agent_state_dir(), 0700) != 0) {
    error_ = "no agent state directory for the catalogue";
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue commit failed: %C\n"), error_.c_str()));
    return false;
  }
  for (auto& r : rows) r.second["state"] = json::array({"available"});
  std::string err;
  // One connection and one transaction for all rows: each connection of
  // its own would sync the catalogue once or more per row.
  const int rc = with_retries(busy_timeout_ms_, max_seconds_retry_, [&](int busy_ms) {
    added.assign(rows.size(), 0);
    Connection c;
    int r = c.open(path, busy_ms, err);
    if (r != SQLITE_OK) return r;
    if (rows.size() > 1 && (r = c.exec("BEGIN IMMEDIATE;")) != SQLITE_OK) {
      err = c.describe(r);
      return r;
    }
    Statement st(c.db(), replace ? "INSERT OR REPLACE INTO backup_sets (view, uuid, resource_uuid, definition_uuid, "
                                   "record) VALUES (?1, ?2, ?3, ?4, ?5)"
                                 : "INSERT OR IGNORE INTO backup_sets (view, uuid, resource_uuid, definition_uuid, "
                                   "record) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (st.rc() != SQLITE_OK) {
      err = c.describe(st.rc());
      return st.rc();
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const json& row = rows[i].second;
      st.reset();
      st.bind(1, rows[i].first);
      st.bind(2, text_filter(row, "uuid"));
      st.bind(3, text_filter(row, "resource_uuid"));
      st.bind(4, text_filter(row, "definition_uuid"));
      st.bind(5, row.dump());
      r = st.step();
      if (r != SQLITE_DONE) {
        err = c.describe(r);
        return r;  // the connection's close rolls the transaction back
      }
      added[i] = sqlite3_changes(c.db()) > 0 ? 1 : 0;
    }
    if (rows.size() > 1 && (r = c.exec("COMMIT;")) != SQLITE_OK) {
      err = c.describe(r);
      return r;
    }
    return SQLITE_OK;
  });
  if (rc != SQLITE_OK) {
    error_ = "cannot write the catalogue " + path + ": " + err;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue commit failed: %C\n"), error_.c_str()));
    return false;
  }
  return true;
}

int Catalog_Operator::remove(const std::string& name, const std::string& uuid) {
  if (name != "oscar" && name != "oscar_brcmd") {
    error_ = "unknown catalogue view " + name;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue removal failed: %C\n"), error_.c_str()));
    return -1;
  }
  const std::string path = database_path();
  if (path.empty() || mkdir_p(agent_state_dir(), 0700) != 0) {
    error_ = "no agent state directory for the catalogue";
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue removal failed: %C\n"), error_.c_str()));
    return -1;
  }
  std::string err;
  bool refused = false;
  int removed = 0;
  const int rc = with_retries(busy_timeout_ms_, max_seconds_retry_, [&](int busy_ms) {
    refused = false;
    removed = 0;
    Connection c;
    int r = c.open(path, busy_ms, err);
    if (r != SQLITE_OK) return r;
    // The write lock is taken before the look for resting sets, so that no
    // set resting on this one is committed between the look and the
    // removal.
    if ((r = c.exec("BEGIN IMMEDIATE;")) != SQLITE_OK) {
      err = c.describe(r);
      return r;
    }
    std::string resource, record;
    bool found = false;
    {
      Statement st(c.db(), "SELECT resource_uuid, record FROM backup_sets WHERE view = ?1 AND uuid = ?2");
      if (st.rc() != SQLITE_OK) {
        err = c.describe(st.rc());
        return st.rc();
      }
      st.bind(1, name);
      st.bind(2, uuid);
      r = st.step();
      if (r != SQLITE_ROW && r != SQLITE_DONE) {
        err = c.describe(r);
        return r;
      }
      found = r == SQLITE_ROW;
      if (found) {
        resource = st.column(0);
        record = st.column(1);
      }
    }
    if (!found) return c.exec("COMMIT;");
    if (name == "oscar_brcmd") {
      const json row = json::parse(record, nullptr, false);
      const auto id = row.is_object() ? row.find("backup_id") : row.end();
      const std::string backup_id =
          row.is_object() && id != row.end() && id->is_string() ? id->get<std::string>() : uuid;
      Statement st(c.db(),
                   "SELECT uuid, record FROM backup_sets WHERE view = ?1 AND resource_uuid = ?2 AND uuid != ?3");
      if (st.rc() != SQLITE_OK) {
        err = c.describe(st.rc());
        return st.rc();
      }
      st.bind(1, name);
      st.bind(2, resource);
      st.bind(3, uuid);
      std::vector<std::string> resting;
      while ((r = st.step()) == SQLITE_ROW) {
        if (parent_backup_id(json::parse(st.column(1), nullptr, false)) == backup_id) resting.push_back(st.column(0));
      }
      if (r != SQLITE_DONE) {
        err = c.describe(r);
        return r;
      }
      if (!resting.empty()) {
        refused = true;
        err = "set " + backup_id + " is refused for removal: " + std::to_string(resting.size()) +
              (resting.size() == 1 ? " set rests" : " sets rest") + " on it (" + resting.front() +
              (resting.size() > 1 ? ", ..." : "") + ")";
        c.exec("ROLLBACK;");
        return SQLITE_OK;
      }
    }
    Statement del(c.db(), "DELETE FROM backup_sets WHERE view = ?1 AND uuid = ?2");
    if (del.rc() != SQLITE_OK) {
      err = c.describe(del.rc());
      return del.rc();
    }
    del.bind(1, name);
    del.bind(2, uuid);
    if ((r = del.step()) != SQLITE_DONE) {
      err = c.describe(r);
      return r;
    }
    if ((r = c.exec("COMMIT;")) != SQLITE_OK) {
      err = c.describe(r);
      return r;
    }
    removed = 1;
    return SQLITE_OK;
  });
  if (rc != SQLITE_OK || refused) {
    error_ = refused ? err : "cannot write the catalogue " + path + ": " + err;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue removal failed: %C\n"), error_.c_str()));
    return -1;
  }
  return removed;
}

bool Catalog_Operator::check(std::string& err) {
  const std::string path = database_path();
  if (path.empty() || mkdir_p(agent_state_dir(), 0700) != 0) {
    err = error_ = "no agent state directory for the catalogue";
    return false;
  }
  std::string why;
  const int rc = with_retries(busy_timeout_ms_, max_seconds_retry_, [&](int busy_ms) {
    Connection c;
    int r = c.open(path, busy_ms, why, false);
    if (r != SQLITE_OK) return r;
    // Taking the write lock proves the catalogue writable now and keeps
    // the tables as they are while they are looked at.
    if ((r = c.exec("BEGIN IMMEDIATE;")) != SQLITE_OK) {
      why = c.describe(r);
      return r;
    }
    int tables = 0;
    bool found = false;
    {
      Statement st(c.db(), "SELECT name FROM sqlite_master WHERE type = 'table'");
      if (st.rc() != SQLITE_OK) {
        why = c.describe(st.rc());
        return st.rc();
      }
      while ((r = st.step()) == SQLITE_ROW) {
        ++tables;
        found = found || st.column(0) == "backup_sets";
      }
      if (r != SQLITE_DONE) {
        why = c.describe(r);
        return r;
      }
    }
    // A database without tables is a new one: it gets the schema. One with
    // tables but not the catalogue's is some other database.
    if (tables == 0 && (r = c.exec(SCHEMA)) != SQLITE_OK) {
      why = c.describe(r);
      return r;
    }
    if (tables > 0 && !found) {
      why = "it holds no backup_sets table";
      return SQLITE_CORRUPT;
    }
    Statement st(c.db(), "PRAGMA quick_check");
    if (st.rc() != SQLITE_OK) {
      why = c.describe(st.rc());
      return st.rc();
    }
    std::string problems;
    while ((r = st.step()) == SQLITE_ROW) {
      const std::string line = st.column(0);
      if (line != "ok") problems += (problems.empty() ? "" : "; ") + line;
    }
    if (r != SQLITE_DONE) {
      why = c.describe(r);
      return r;
    }
    if (!problems.empty()) {
      why = "integrity check failed: " + problems;
      return SQLITE_CORRUPT;
    }
    if ((r = c.exec("COMMIT;")) != SQLITE_OK) {
      why = c.describe(r);
      return r;
    }
    return SQLITE_OK;
  });
  if (rc != SQLITE_OK) {
    err = error_ = "the catalogue " + path + " is not usable: " + why;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Catalogue check failed: %C\n"), error_.c_str()));
    return false;
  }
  return true;
}
