#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "oscar/backup_source_collector.h"
#include "oscar/brcmd_backup_set_record.h"
#include "oscar/last_backup_info.h"
#include "tests/support/backup_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

std::string chain_lines(const std::string& inst, const std::string& scn = "30") {
  return inst + "_lastfullbackupid=F1\n" + inst + "_lastfullbackuplsn=10\n" + inst + "_lastfullbackupscn=11\n" + inst +
         "_lastbackupid=B2\n" + inst + "_lastbackuplsn=20\n" + inst + "_lastbackupscn=" + scn + "\n";
}

class ChainState : public ::testing::Test {
 protected:
  void write(const std::string& text) { ASSERT_TRUE(write_file(home_.path() + "/agent/lastlsn.dat", text)); }
  void SetUp() override { ASSERT_EQ(0, ::system(("mkdir -p " + home_.path() + "/agent").c_str())); }
  Temp_Dir home_;
};

TEST_F(ChainState, ReadsTheSixValuesOfItsInstanceOnly) {
  write(chain_lines("db_x", "99") + chain_lines("db") + "db_lastbackupid=B3\n");
  oscar::Last_Backup_Info info;
  ASSERT_TRUE(oscar::read_last_backup_info(home_.path(), "db", info, true));
  EXPECT_EQ("F1", info.last_full_backup_id);
  EXPECT_EQ(10u, info.last_full_backup_lsn);
  EXPECT_EQ(11u, info.last_full_backup_scn);
  EXPECT_EQ("B3", info.last_backup_id);  // the later line wins
  EXPECT_EQ(20u, info.last_backup_lsn);
  EXPECT_EQ(30u, info.last_backup_scn);
}

TEST_F(ChainState, IncompleteOrForeignChainIsInvalid) {
  Log_Capture log;
  write(chain_lines("other"));
  oscar::Last_Backup_Info a;
  EXPECT_FALSE(oscar::read_last_backup_info(home_.path(), "db", a, true));
  EXPECT_NE(std::string::npos, log.all().find("Failed to get db backup info from"));
  write(chain_lines("db", "0"));
  oscar::Last_Backup_Info b;
  EXPECT_FALSE(oscar::read_last_backup_info(home_.path(), "db", b, true));
  write(chain_lines("db", "x7"));
  oscar::Last_Backup_Info c;
  EXPECT_FALSE(oscar::read_last_backup_info(home_.path(), "db", c, true));
}

TEST_F(ChainState, MissingFileIsLoggedOnlyWhenAsked) {
  oscar::Last_Backup_Info info;
  {
    Log_Capture quiet;
    EXPECT_FALSE(oscar::read_last_backup_info(home_.path(), "db", info, false));
    EXPECT_TRUE(quiet.records().empty());
  }
  Log_Capture log;
  EXPECT_FALSE(oscar::read_last_backup_info(home_.path(), "db", info, true));
  EXPECT_NE(std::string::npos, log.all().find("Failed to open file"));
}

// Whether an incremental or differential may extend the chain, against a
// real catalogue: full F1 (lsn 10, scn 11) and incremental B2 (lsn 20, scn
// 21) of resource "res" in pool "p1".
class ChainDecision : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* pool : {"p1", "p2"}) ASSERT_TRUE(register_file_pool(pool, sandbox_ / pool));
    ASSERT_TRUE(commit("F1", 10, 11, "p1"));
    ASSERT_TRUE(commit("B2", 20, 21, "p1"));
    chain_.last_full_backup_id = "F1";
    chain_.last_full_backup_lsn = 10;
    chain_.last_full_backup_scn = 11;
    chain_.last_backup_id = "B2";
    chain_.last_backup_lsn = 20;
    chain_.last_backup_scn = 21;
  }

  static bool commit(const std::string& id, unsigned long long lsn, unsigned long long scn, const std::string& pool) {
    Oscar_Brcmd_Backup_Set set = full_backup_set(id, Backup_Set_Storage(pool, 10));
    set.backup_lsn(lsn);
    set.backup_scn(scn);
    return Catalog_Operator(-1, 0).commit(set);
  }

  bool usable(Job_Definition_Subtype subtype) const { return oscar::chain_usable(subtype, chain_, "res", "p1", 0); }

  // Empties the "state" array of the stored record `id`.
  void empty_state(const std::string& id) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(Catalog_Operator::database_path().c_str(), &db));
    const std::string sql =
        "UPDATE backup_sets SET record = json_set(record, '$.state', json('[]')) WHERE uuid = '" + id + "'";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    EXPECT_EQ(1, sqlite3_changes(db));
    sqlite3_close(db);
  }

  Test_Sandbox sandbox_;
  oscar::Last_Backup_Info chain_;
};

TEST_F(ChainDecision, RecordedChainIsExtendedByBothKinds) {
  EXPECT_TRUE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  EXPECT_TRUE(usable(JOB_DEFINITION_SUBTYPE_CUMULATIVE));
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_FULL)) << "a full backup extends no chain";
}

TEST_F(ChainDecision, UnrecordedLastBackupMakesAnIncrementalFull) {
  // The tool moved the chain to B3, whose record was never committed.
  chain_.last_backup_id = "B3";
  chain_.last_backup_lsn = 30;
  chain_.last_backup_scn = 31;
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  EXPECT_TRUE(usable(JOB_DEFINITION_SUBTYPE_CUMULATIVE)) << "a differential rests on the full backup only";
  // The id alone is not enough: a record of that id with another SCN is
  // some other backup.
  chain_.last_backup_id = "B2";
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
}

TEST_F(ChainDecision, LastBackupInAnotherPoolOrWithEmptyStateIsNotUsable) {
  ASSERT_TRUE(commit("B2", 20, 21, "p2"));
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  ASSERT_TRUE(commit("B2", 20, 21, "p1"));
  ASSERT_TRUE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  empty_state("B2");
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  EXPECT_TRUE(usable(JOB_DEFINITION_SUBTYPE_CUMULATIVE));
  empty_state("F1");
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_CUMULATIVE));
}

TEST_F(ChainDecision, UnrecordedFullBackupMakesBothKindsFull) {
  chain_.last_full_backup_id = "F0";
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
  EXPECT_FALSE(usable(JOB_DEFINITION_SUBTYPE_CUMULATIVE));
}

class BackupSetRecord : public ::testing::Test {
 protected:
  BackupSetRecord() : def_(new Job_Definition()), job_(new Plain_Job(def_)) {
    cat_ = {{"uid", "u"},
            {"definition_uuid", "d"},
            {"name", "n"},
            {"agent", "a"},
            {"host_uuid", "h"},
            {"resource_uuid", "r"},
            {"pool_uuid", "p"},
            {"uri", "r"},
            {"backup_file", "f"},
            {"backup_set_size", 100},
            {"backup_set_storage_size", 60}};
  }
  Job_Definition_var def_;
  Job_var job_;
  nlohmann::json cat_;
};

TEST_F(BackupSetRecord, FullBackupNamesItselfAsItsChain) {
  cat_["type"] = "full";
  oscar::Last_Backup_Info after;
  after.last_backup_id = "B9";
  after.last_backup_lsn = 90;
  after.last_backup_scn = 91;
  oscar::put_backup_identity(cat_, after, true);
  Oscar_Brcmd_Backup_Set set;
  ASSERT_TRUE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
  EXPECT_EQ("B9", set.uuid());
  EXPECT_EQ("B9", set.last_full_backup_id());
  EXPECT_EQ("B9", set.full_backup_uuid());
  EXPECT_EQ(90u, set.last_backup_lsn());
  EXPECT_EQ(91u, set.last_full_backup_scn());
  ASSERT_EQ(1u, set.storages().size());
  EXPECT_EQ(60u, set.storages()[0].size());
  EXPECT_EQ(1000, set.start_time());
}

TEST_F(BackupSetRecord, IncrementalRestsOnTheChainBeforeIt) {
  cat_["type"] = "incremental";
  oscar::Last_Backup_Info before;
  before.last_full_backup_id = "F1";
  before.last_full_backup_lsn = 10;
  before.last_full_backup_scn = 11;
  before.last_backup_id = "B2";
  before.last_backup_lsn = 20;
  before.last_backup_scn = 21;
  oscar::put_chain_values(cat_, before);
  oscar::Last_Backup_Info after = before;
  after.last_backup_id = "B3";
  oscar::put_backup_identity(cat_, after, false);
  Oscar_Brcmd_Backup_Set set;
  ASSERT_TRUE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
  EXPECT_EQ("B3", set.uuid());
  EXPECT_EQ("B2", set.last_backup_id());
  EXPECT_EQ("F1", set.full_backup_uuid());
}

TEST_F(BackupSetRecord, MissingOrMistypedValueRaisesAlert21) {
  Log_Capture log;
  cat_["type"] = "incremental";
  oscar::Last_Backup_Info after;
  after.last_backup_id = "B3";
  oscar::put_backup_identity(cat_, after, false);
  Oscar_Brcmd_Backup_Set set;
  EXPECT_FALSE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
  ASSERT_EQ(1u, job_->alerts().size());
  EXPECT_EQ(21, job_->alerts()[0].code);
  EXPECT_NE(std::string::npos, log.all().find("Failed to build oscar brcmd backup set: "));
  cat_["type"] = "full";
  oscar::put_backup_identity(cat_, after, true);
  cat_["backup_set_size"] = "100";
  EXPECT_FALSE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
}

TEST_F(BackupSetRecord, StoredDigestGoesWithTheStorageEntry) {
  cat_["type"] = "full";
  oscar::Last_Backup_Info after;
  after.last_backup_id = "B9";
  oscar::put_backup_identity(cat_, after, true);
  const std::string digest = "0123456789abcdef0123456789abcdef";
  cat_["backup_set_digest"] = digest;
  Oscar_Brcmd_Backup_Set set;
  ASSERT_TRUE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
  ASSERT_EQ(1u, set.storages().size());
  EXPECT_EQ(digest, set.storages()[0].digest());
  EXPECT_EQ(60u, set.storages()[0].size());
  nlohmann::json row;
  std::string missing;
  ASSERT_TRUE(set.to_row(row, missing)) << missing;
  const nlohmann::json expected = {{"pool_uuid", "p"}, {"size", 60}, {"digest", digest}};
  EXPECT_EQ(expected, row.at("storages").at(0));
  Backup_Set_Storage back;
  std::string err;
  ASSERT_TRUE(Backup_Set_Storage::from_json(row.at("storages").at(0), back, err)) << err;
  EXPECT_EQ(digest, back.digest());
}

TEST_F(BackupSetRecord, RecordWithoutADigestReadsBackWithAnEmptyOne) {
  cat_["type"] = "full";
  oscar::Last_Backup_Info after;
  after.last_backup_id = "B9";
  oscar::put_backup_identity(cat_, after, true);
  Oscar_Brcmd_Backup_Set set;
  ASSERT_TRUE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set));
  nlohmann::json row;
  std::string missing;
  ASSERT_TRUE(set.to_row(row, missing)) << missing;
  EXPECT_FALSE(row.at("storages").at(0).contains("digest")) << row.dump();
  Backup_Set_Storage back("x", 1, "ffffffffffffffffffffffffffffffff");
  std::string err;
  ASSERT_TRUE(Backup_Set_Storage::from_json(row.at("storages").at(0), back, err)) << err;
  EXPECT_EQ("", back.digest());
  EXPECT_EQ("p", back.pool_uuid());
  EXPECT_TRUE(job_->alerts().empty());
}

TEST_F(BackupSetRecord, DigestThatIsNotOneRaisesAlert21) {
  Log_Capture log;
  cat_["type"] = "full";
  oscar::Last_Backup_Info after;
  after.last_backup_id = "B9";
  oscar::put_backup_identity(cat_, after, true);
  for (const nlohmann::json& bad : {nlohmann::json(""), nlohmann::json("0123456789ABCDEF0123456789ABCDEF"),
                                    nlohmann::json(12), nlohmann::json("0123")}) {
    cat_["backup_set_digest"] = bad;
    Oscar_Brcmd_Backup_Set set;
    EXPECT_FALSE(oscar::build_oscar_brcmd_backup_set(*job_, "r", 1000, cat_, set)) << bad.dump();
  }
  ASSERT_EQ(4u, job_->alerts().size());
  EXPECT_EQ(21, job_->alerts()[0].code);
  EXPECT_NE(std::string::npos, log.all().find("digest that is not 32 lowercase hex digits")) << log.all();
}

TEST(BackupSourceCollector, EntriesBecomeSourcesUntilAForeignOne) {
  oscar::Backup_Source_Collector c;
  EXPECT_EQ(0, c.collect({"oscar/inst1/db1", "oscar", "oscar/inst1/db1/s1/t1/extra"}));
  ASSERT_EQ(2u, c.sources_.size());
  EXPECT_EQ("inst1", c.sources_[0].servername);
  EXPECT_EQ("db1", c.sources_[0].dbname);
  EXPECT_EQ("", c.sources_[0].schema);
  EXPECT_EQ("s1", c.sources_[1].schema);
  EXPECT_EQ("t1", c.sources_[1].table);
  Log_Capture log;
  oscar::Backup_Source_Collector d;
  EXPECT_EQ(-1, d.collect({"oscar/i/d", "mysql/x/y", "oscar/j/e"}));
  ASSERT_EQ(1u, d.sources_.size());
  EXPECT_NE(std::string::npos, log.all().find("Failed to collect oscar source:\"mysql/x/y\" to backup"));
}

}  // namespace
