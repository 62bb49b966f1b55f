#include "host/catalog/catalog_operator.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "host/base/agent_state.h"
#include "host/base/sleep.h"
#include "host/catalog/minor_resource_id.h"
#include "host/catalog/set_manifest.h"
#include "host/storage/pool_info.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

class Catalog : public ::testing::Test {
 protected:
  static Oscar_Backup_Set export_set(const std::string& uuid, const std::string& resource,
                                     const std::string& definition, unsigned seq, std::time_t start,
                                     const std::string& database) {
    Oscar_Backup_Set s;
    s.uuid(uuid);
    s.backup_set_uuid(uuid);
    s.name("nightly");
    s.definition_uuid(definition);
    s.resource_uuid(resource);
    s.type(Oscar_Backup_Set::KIND);
    s.backup_type("export");
    s.start_time(start);
    s.end_time(start + 10);
    s.seq(seq);
    s.dbinstance("inst1");
    s.tablespaces(json::array({"TS_A", "TS_B"}));
    s.grade("database");
    s.add_file({database, "", "", "/dump/" + uuid + "/" + database + ".dump"});
    s.uri("host-1/" + definition);
    s.add_storage(Backup_Set_Storage("pool-1", 4096));
    s.add_piece(definition + "-" + std::to_string(seq) + ".mtf", 0);
    return s;
  }

  static Oscar_Brcmd_Backup_Set physical_set(const std::string& id, const std::string& type,
                                             const std::string& last_full, const std::string& last_backup,
                                             std::time_t start, const std::string& resource = "res-1") {
    Oscar_Brcmd_Backup_Set s;
    s.uuid(id);
    s.backup_id(id);
    s.definition_uuid("def-phys");
    s.resource_uuid(resource);
    s.uri(resource);
    s.type(Oscar_Brcmd_Backup_Set::KIND);
    s.backup_type(type);
    s.start_time(start);
    s.backup_file("inst1_" + id + ".zst");
    s.backup_set_size(1000);
    s.backup_lsn(start * 10);
    s.backup_scn(start * 100);
    s.last_full_backup_id(type == "full" ? id : last_full);
    s.last_backup_id(type == "full" ? id : last_backup);
    s.last_full_backup_lsn(7);
    s.full_backup_uuid(type == "full" ? id : last_full);
    s.add_storage(Backup_Set_Storage("pool-1", 600));
    s.add_piece(s.backup_file(), 0);
    return s;
  }

  static std::vector<std::string> ids(const json& result, const char* key = "backup_id") {
    std::vector<std::string> out;
    for (const json& r : result.at("rows")) out.push_back(r.at(key).get<std::string>());
    return out;
  }

  // The manifest a commit left for set `uuid` in folder `uri` of pool-1;
  // empty when there is none.
  std::string manifest(const std::string& uri, const std::string& uuid) {
    return read_file(sandbox_ / "pool/" + uri + "/" + manifest_name(uuid));
  }

  // Every record names pool-1: a commit writes the set's manifest there.
  void SetUp() override {
    Pool_Info pool;
    pool.uuid = "pool-1";
    pool.name = "p1";
    pool.url = "file://" + sandbox_ / "pool";
    ASSERT_TRUE(add_pool(pool));
  }

  Test_Sandbox sandbox_;
  Catalog_Operator cat_{-1, 5};
};

TEST_F(Catalog, ExportViewAnswersTheExecutorQueries) {
  ASSERT_TRUE(cat_.commit(export_set("u1", "res-1", "def-1", 0, 1000, "db1")));
  ASSERT_TRUE(cat_.commit(export_set("u2", "res-1", "def-1", 1, 3000, "db2")));
  ASSERT_TRUE(cat_.commit(export_set("u3", "res-1", "def-1", 2, 2000, "db1")));

  json r;
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs",
                            {{"definition_uuid", "def-1"}, {"sort", "seq"}, {"order", "desc"}, {"limit", 1}}, r));
  ASSERT_EQ(1u, r["rows"].size());
  EXPECT_EQ(2, r["rows"][0]["seq"]);
  EXPECT_FALSE(r["rows"][0].contains("backup_files"));

  ASSERT_TRUE(cat_.get_view("oscar", "catalogs",
                            {{"resource_uuid", "res-1"},
                             {"database", "db1"},
                             {"grade", "database"},
                             {"with_files", "1"},
                             {"sort", "backup_start_time"},
                             {"order", "desc"}},
                            r));
  EXPECT_EQ((std::vector<std::string>{"u3", "u1"}), ids(r, "uuid"));
  const json& newest = r["rows"][0];
  EXPECT_EQ("pool-1", newest["pool_uuid"]);
  EXPECT_EQ("def-1", newest["definition_uuid"]);
  EXPECT_EQ("db1", newest["backup_files"][0]["database"]);
  EXPECT_EQ("/dump/u3/db1.dump", newest["backup_files"][0]["file"]);
  EXPECT_FALSE(newest["state"].empty());

  ASSERT_TRUE(
      cat_.get_view("oscar", "catalogs", {{"uuid", "u2"}, {"sort", "backup_start_time"}, {"order", "desc"}}, r));
  ASSERT_EQ(1u, r["rows"].size());
  EXPECT_EQ(json::array({"TS_A", "TS_B"}), r["rows"][0]["tablespaces"]);

  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", {{"grade", "schema"}}, r));
  EXPECT_TRUE(r["rows"].empty());
}

TEST_F(Catalog, RecordsOfTwoResourcesStayApart) {
  ASSERT_TRUE(cat_.commit(export_set("a1", "res-A", "def-A", 0, 100, "db")));
  ASSERT_TRUE(cat_.commit(export_set("b1", "res-B", "def-B", 0, 200, "db")));
  ASSERT_TRUE(cat_.commit(physical_set("F1", "full", "", "", 100, "res-A")));
  ASSERT_TRUE(cat_.commit(physical_set("G1", "full", "", "", 200, "res-B")));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", {{"resource_uuid", "res-B"}}, r));
  EXPECT_EQ(std::vector<std::string>{"b1"}, ids(r, "uuid"));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs",
                            {{"resource_uuid", "res-A"}, {"sort", "backup_start_time"}, {"order", "desc"}}, r));
  EXPECT_EQ(std::vector<std::string>{"F1"}, ids(r));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", {{"resource_uuid", "res-A"}, {"backup_id", "G1"}}, r));
  EXPECT_TRUE(r["rows"].empty());
}

TEST_F(Catalog, FullBackupCheckQueryFindsStateAndPool) {
  Oscar_Brcmd_Backup_Set full = physical_set("F1", "full", "", "", 100);
  ASSERT_TRUE(cat_.commit(full));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs",
                            {{"resource_uuid", "res-1"},
                             {"backup_id", "F1"},
                             {"backup_lsn", 1000},
                             {"backup_scn", 10000},
                             {"sort", "start_time"},
                             {"order", "desc"}},
                            r));
  ASSERT_EQ(1u, r["rows"].size());
  EXPECT_TRUE(r["rows"][0]["state"].is_array());
  EXPECT_FALSE(r["rows"][0]["state"].empty());
  EXPECT_EQ("pool-1", r["rows"][0]["pool_uuid"]);
  EXPECT_EQ(1000u, r["rows"][0]["backup_set_size"]);
  EXPECT_EQ("res-1", r["rows"][0]["uri"]);
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", {{"backup_id", "F1"}, {"backup_lsn", 999}}, r));
  EXPECT_TRUE(r["rows"].empty());
}

TEST_F(Catalog, SequenceOfIncrementalChainStartsWithTheFull) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  ASSERT_TRUE(cat_.commit(physical_set("I1", "incremental", "F", "F", 200)));
  ASSERT_TRUE(cat_.commit(physical_set("I2", "incremental", "F", "I1", 300)));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "I2"}, {"order", "desc"}}, r));
  EXPECT_EQ((std::vector<std::string>{"F", "I1", "I2"}), ids(r));
  EXPECT_EQ("res-1", r["rows"][2]["uri"]);
  EXPECT_EQ("inst1_I2.zst", r["rows"][2]["backup_file"]);
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "I1"}}, r));
  EXPECT_EQ((std::vector<std::string>{"F", "I1"}), ids(r));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "F"}, {"order", "asc"}}, r));
  EXPECT_EQ(std::vector<std::string>{"F"}, ids(r));
}

TEST_F(Catalog, DifferentialRestsOnItsFullAlone) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  ASSERT_TRUE(cat_.commit(physical_set("I1", "incremental", "F", "F", 200)));
  ASSERT_TRUE(cat_.commit(physical_set("D", "cumulative", "F", "I1", 300)));
  ASSERT_TRUE(cat_.commit(physical_set("I3", "incremental", "F", "D", 400)));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "D"}, {"order", "desc"}}, r));
  EXPECT_EQ((std::vector<std::string>{"F", "D"}), ids(r));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "I3"}}, r));
  EXPECT_EQ((std::vector<std::string>{"F", "D", "I3"}), ids(r));
}

TEST_F(Catalog, BrokenChainFailsAndUnknownSetAnswersNoRows) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  ASSERT_TRUE(cat_.commit(physical_set("I2", "incremental", "F", "I1", 300)));
  ASSERT_TRUE(cat_.commit(physical_set("X", "full", "", "", 50, "res-2")));
  ASSERT_TRUE(cat_.commit(physical_set("I9", "incremental", "X", "X", 60)));
  json r = {{"untouched", true}};
  EXPECT_FALSE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "I2"}}, r));
  EXPECT_NE(std::string::npos, cat_.error().find("missing set I1")) << cat_.error();
  // A link into another resource's sets is no link.
  EXPECT_FALSE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "I9"}}, r));
  EXPECT_TRUE(r.contains("untouched"));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "nope"}}, r));
  EXPECT_TRUE(r["rows"].empty());
}

TEST_F(Catalog, RemovalRefusesASetThatAnotherRestsOn) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  ASSERT_TRUE(cat_.commit(physical_set("I1", "incremental", "F", "F", 200)));
  ASSERT_TRUE(cat_.commit(physical_set("D", "cumulative", "F", "I1", 300)));
  ASSERT_TRUE(cat_.commit(physical_set("I3", "incremental", "F", "D", 400)));
  // A link from another resource's set is no link.
  ASSERT_TRUE(cat_.commit(physical_set("J", "incremental", "I3", "I3", 500, "res-2")));

  EXPECT_EQ(-1, cat_.remove("oscar_brcmd", "F"));
  EXPECT_NE(std::string::npos, cat_.error().find("2 sets rest on it")) << cat_.error();
  EXPECT_EQ(-1, cat_.remove("oscar_brcmd", "D"));
  EXPECT_NE(std::string::npos, cat_.error().find("1 set rests on it (I3)")) << cat_.error();
  // A differential rests on its full backup, not on the set before it.
  EXPECT_EQ(1, cat_.remove("oscar_brcmd", "I1"));
  EXPECT_EQ(1, cat_.remove("oscar_brcmd", "I3"));
  EXPECT_EQ(1, cat_.remove("oscar_brcmd", "D"));
  EXPECT_EQ(1, cat_.remove("oscar_brcmd", "F"));
  EXPECT_EQ(0, cat_.remove("oscar_brcmd", "F"));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ(std::vector<std::string>{"J"}, ids(r));
}

TEST_F(Catalog, RemovalOfAnExportTouchesOnlyItsView) {
  ASSERT_TRUE(cat_.commit(export_set("E1", "res-1", "def-1", 1, 100, "DB1")));
  ASSERT_TRUE(cat_.commit(export_set("E2", "res-1", "def-1", 2, 200, "DB1")));
  ASSERT_TRUE(cat_.commit(physical_set("E1", "full", "", "", 100)));
  EXPECT_EQ(1, cat_.remove("oscar", "E1"));
  EXPECT_EQ(0, cat_.remove("oscar", "E1"));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", json::object(), r));
  EXPECT_EQ(std::vector<std::string>{"E2"}, ids(r, "uuid"));
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ(std::vector<std::string>{"E1"}, ids(r));
  EXPECT_EQ(-1, cat_.remove("other", "E2"));
  EXPECT_NE(std::string::npos, cat_.error().find("unknown catalogue view")) << cat_.error();
}

TEST_F(Catalog, IncompleteRecordStoresNothing) {
  Oscar_Brcmd_Backup_Set s = physical_set("I1", "incremental", "F", "F", 200);
  s.last_full_backup_id("");
  s.full_backup_uuid("");
  EXPECT_FALSE(cat_.commit(s));
  EXPECT_NE(std::string::npos, cat_.error().find("last_full_backup_id")) << cat_.error();
  Oscar_Backup_Set e = export_set("u1", "res-1", "def-1", 0, 100, "db");
  e.type("oscar_brcmd_backup_set");
  EXPECT_FALSE(cat_.commit(e));
  Oscar_Backup_Set nofiles;
  nofiles.uuid("u2");
  EXPECT_FALSE(cat_.commit(nofiles));
  // A set whose pool is not registered cannot be described there.
  ASSERT_EQ(1, remove_pool("pool-1"));
  EXPECT_FALSE(cat_.commit(physical_set("F9", "full", "", "", 300)));
  EXPECT_NE(std::string::npos, cat_.error().find("pool-1 is not registered")) << cat_.error();
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_TRUE(r["rows"].empty());
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", json::object(), r));
  EXPECT_TRUE(r["rows"].empty());
  EXPECT_TRUE(files_under(sandbox_ / "pool").empty());
}

TEST_F(Catalog, RecommittingAUuidReplacesTheRecordAndItsManifest) {
  ASSERT_TRUE(cat_.commit(export_set("u1", "res-1", "def-1", 0, 100, "db")));
  ASSERT_TRUE(cat_.commit(export_set("u1", "res-1", "def-1", 5, 100, "db")));
  json r;
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", {{"uuid", "u1"}}, r));
  ASSERT_EQ(1u, r["rows"].size());
  EXPECT_EQ(5, r["rows"][0]["seq"]);
  Set_Manifest m;
  std::string err;
  ASSERT_TRUE(parse_manifest(manifest("host-1/def-1", "u1"), m, err)) << err;
  EXPECT_EQ(5, m.row["seq"]);
  EXPECT_EQ(1u, files_under(sandbox_ / "pool").size());
}

// The manifest holds the row as committed (without its state), so that
// adopting it gives the same row; adopting twice adds it once, and a
// manifest altered anywhere is refused.
TEST_F(Catalog, CommitWritesTheManifestThatAdoptionTurnsBackIntoTheRow) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  const std::string text = manifest("res-1", "F");
  Set_Manifest m;
  std::string err;
  ASSERT_TRUE(parse_manifest(text, m, err)) << err;
  EXPECT_EQ("oscar_brcmd", m.view);
  EXPECT_EQ("res-1", m.instance_uuid);
  EXPECT_EQ("zstd", m.compression);
  EXPECT_FALSE(m.row.contains("state"));
  json before;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), before));

  ASSERT_EQ(0, std::remove(Catalog_Operator::database_path().c_str()));
  EXPECT_EQ(1, cat_.adopt(m.view, m.row));
  EXPECT_EQ(0, cat_.adopt(m.view, m.row));
  json after;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), after));
  EXPECT_EQ(before, after);

  const std::size_t at = text.find("\"backup_lsn\":1000");
  ASSERT_NE(std::string::npos, at) << text;
  std::string altered = text;
  altered[at + 14] = '2';
  EXPECT_FALSE(parse_manifest(altered, m, err));
  EXPECT_EQ("digest mismatch", err);
  EXPECT_FALSE(parse_manifest(text.substr(0, text.size() / 2), m, err));
  altered = text;
  altered.replace(altered.find("\"format\":1"), 10, "\"format\":7");
  EXPECT_FALSE(parse_manifest(altered, m, err));
  EXPECT_EQ("unknown format version 7", err);
}

TEST_F(Catalog, BadQueriesFail) {
  json r;
  EXPECT_FALSE(cat_.get_view("mysql", "catalogs", json::object(), r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalog_sequences", {{"backup_id", "x"}}, r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", json::array(), r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", {{"no_such_member", "x"}}, r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", {{"order", "sideways"}}, r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", {{"limit", -1}}, r));
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", {{"with_files", "yes"}}, r));
  EXPECT_FALSE(cat_.get_view("oscar_brcmd", "catalogs", {{"backup_lsn", json::array()}}, r));
  EXPECT_FALSE(cat_.get_view("oscar_brcmd", "catalog_sequences", json::object(), r));
  EXPECT_TRUE(r.is_null());
}

TEST_F(Catalog, MalformedStoredRecordsAreSkipped) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(Catalog_Operator::database_path().c_str(), &db));
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(db,
                         "INSERT INTO backup_sets (view, uuid, resource_uuid, definition_uuid, record) VALUES"
                         " ('oscar_brcmd', 'bad1', 'res-1', 'd', '{\"backup_id\": '),"
                         " ('oscar_brcmd', 'bad2', 'res-1', 'd', '[1, 2]'),"
                         " ('oscar_brcmd', 'bad3', 'res-1', 'd', '{\"backup_id\": 5, \"type\": []}')",
                         nullptr, nullptr, nullptr));
  sqlite3_close(db);
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", {{"sort", "type"}, {"order", "desc"}}, r));
  EXPECT_EQ(2u, r["rows"].size());
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalog_sequences", {{"backup_id", "F"}}, r));
  EXPECT_EQ(std::vector<std::string>{"F"}, ids(r));
}

TEST_F(Catalog, LockedDatabaseFailsWithinTheRetryBound) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(Catalog_Operator::database_path().c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                    "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                                    " DELETE FROM backup_sets WHERE uuid = 'none';",
                                    nullptr, nullptr, nullptr));
  sandbox_.sleep_scale(1.0);
  Catalog_Operator quick(50, 1);
  json r;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(quick.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_FALSE(quick.commit(physical_set("I1", "incremental", "F", "F", 200)));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(seconds, 1.5);
  EXPECT_LT(seconds, 10.0);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_TRUE(quick.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ(std::vector<std::string>{"F"}, ids(r));
  // The manifest of the set whose row could not be written went again.
  EXPECT_EQ("", manifest("res-1", "I1"));
  EXPECT_NE("", manifest("res-1", "F"));
}

TEST_F(Catalog, ConcurrentCommitsFromThreadsAllLand) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      Catalog_Operator op(-1, 20);
      for (int i = 0; i < 10; ++i) {
        const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(op.commit(physical_set(id, "full", "", "", 100 + i)));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ(40u, r["rows"].size());
}

TEST_F(Catalog, StateDirectoryMustBeSet) {
  set_agent_state_dir("");
  json r;
  EXPECT_FALSE(cat_.get_view("oscar", "catalogs", json::object(), r));
  EXPECT_FALSE(cat_.commit(export_set("u1", "res-1", "def-1", 0, 100, "db")));
}

TEST(MinorResourceId, IsDeterministicAndDependsOnBothTexts) {
  std::string a, b, c, d;
  ASSERT_TRUE(compute_minor_resource_id("res-1", "oscar_backup_set", a));
  ASSERT_TRUE(compute_minor_resource_id("res-1", "oscar_backup_set", b));
  ASSERT_TRUE(compute_minor_resource_id("res-1", "oscar_brcmd_backup_set", c));
  ASSERT_TRUE(compute_minor_resource_id("res-2", "oscar_backup_set", d));
  EXPECT_EQ(a, b);
  EXPECT_EQ(36u, a.size());
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  std::string keep = "keep";
  EXPECT_FALSE(compute_minor_resource_id("", "oscar_backup_set", keep));
  EXPECT_EQ("keep", keep);
}

}  // namespace

namespace {

// Another process that holds the catalogue's write lock (with `sql`) until
// told to commit, or for at most 60 seconds; every wait on it is bounded.
class Catalogue_Holder {
 public:
  explicit Catalogue_Holder(const std::string& sql) {
    if (::pipe(ready_) != 0 || ::pipe(release_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      sqlite3* db = nullptr;
      const bool ok = sqlite3_open(Catalog_Operator::database_path().c_str(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      const char c = ok ? '1' : '0';
      pollfd p{release_[0], POLLIN, 0};
      if (::write(ready_[1], &c, 1) == 1) ::poll(&p, 1, 60000);
      sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      ::_exit(0);
    }
  }
  ~Catalogue_Holder() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
      if (fd >= 0) ::close(fd);
  }
  bool holds() {
    pollfd p{ready_[0], POLLIN, 0};
    char c = 0;
    return pid_ > 0 && ::poll(&p, 1, 30000) == 1 && ::read(ready_[0], &c, 1) == 1 && c == '1';
  }
  bool release() { return ::write(release_[1], "x", 1) == 1; }

 private:
  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

const char* const WRITE_LOCK = "BEGIN IMMEDIATE; DELETE FROM backup_sets WHERE uuid = 'none';";
const char* const FULL_LOCK =
    "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM backup_sets WHERE uuid = 'none';";

class CatalogAcrossProcesses : public Catalog {
 protected:
  void SetUp() override {
    Catalog::SetUp();
    set_host_sleep_scale(1.0);
    // The holder lets go at the first pause between attempts, that is
    // after an attempt found the catalogue locked.
    set_host_sleep_observer([this](const ACE_Time_Value&) {
      if (pauses_++ == 0 && holder_) {
        EXPECT_TRUE(holder_->release());
      }
    });
  }
  void TearDown() override {
    set_host_sleep_observer(nullptr);
    Catalog::TearDown();
  }

  int pauses_ = 0;
  Catalogue_Holder* holder_ = nullptr;
};

TEST_F(CatalogAcrossProcesses, CommitWaitsForAWriterInAnotherProcess) {
  ASSERT_TRUE(cat_.commit(physical_set("F", "full", "", "", 100)));
  Catalogue_Holder other(WRITE_LOCK);
  ASSERT_TRUE(other.holds());
  holder_ = &other;
  Catalog_Operator patient(100, 30);
  EXPECT_TRUE(patient.commit(physical_set("I1", "incremental", "F", "F", 200))) << patient.error();
  EXPECT_GE(pauses_, 1) << "the first attempt must have found the catalogue locked";
  json r;
  ASSERT_TRUE(cat_.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ((std::vector<std::string>{"F", "I1"}), ids(r));
}

TEST_F(CatalogAcrossProcesses, CheckWaitsForALockedCatalogueWithinItsBound) {
  std::string err;
  ASSERT_TRUE(cat_.check(err)) << err;
  Catalogue_Holder other(FULL_LOCK);
  ASSERT_TRUE(other.holds());
  Catalog_Operator quick(50, 0);
  EXPECT_FALSE(quick.check(err));
  EXPECT_NE(std::string::npos, err.find("is not usable: database is locked")) << err;
  holder_ = &other;
  Catalog_Operator patient(50, 30);
  EXPECT_TRUE(patient.check(err)) << err;
  EXPECT_GE(pauses_, 1);
}

TEST_F(Catalog, CheckAcceptsANewCatalogueAndRefusesDamagedOnes) {
  std::string err;
  ASSERT_TRUE(cat_.check(err)) << err;
  json r;
  ASSERT_TRUE(cat_.get_view("oscar", "catalogs", json::object(), r)) << "the new catalogue has its table";

  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(cat_.commit(export_set("u" + std::to_string(i), "res-1", "def-1", i, 100 + i, "db")));
  ASSERT_TRUE(cat_.check(err)) << err;
  std::string bytes = read_file(Catalog_Operator::database_path());
  ASSERT_GT(bytes.size(), 3 * 4096u);
  for (std::size_t i = 4096 + 200; i < 2 * 4096; ++i) bytes[i] = static_cast<char>(0x5a);
  ASSERT_TRUE(write_file(Catalog_Operator::database_path(), bytes));
  EXPECT_FALSE(cat_.check(err));
  EXPECT_NE(std::string::npos, err.find("is not usable")) << err;

  ASSERT_TRUE(write_file(Catalog_Operator::database_path(), std::string(8192, 'G')));
  EXPECT_FALSE(cat_.check(err));
  EXPECT_NE(std::string::npos, err.find("not a database")) << err;
  EXPECT_EQ(err, cat_.error());

  ASSERT_EQ(0, ::unlink(Catalog_Operator::database_path().c_str()));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(Catalog_Operator::database_path().c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE other (x);", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  EXPECT_FALSE(cat_.check(err));
  EXPECT_NE(std::string::npos, err.find("no backup_sets table")) << err;
}

}  // namespace
