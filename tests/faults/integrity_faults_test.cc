// Integrity of stored sets: a restore reads every set of its chain before it
// stops the instance and refuses one that no longer matches its record;
// `verify` makes the same check at any time.

#include <sqlite3.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/faults/fault_fixture.h"
#include "tests/support/catalogue_records.h"

namespace {

class IntegrityFaults : public FaultSuite {
 protected:
  // The catalogue's records of DB1, oldest first.
  nlohmann::json rows() { return catalogue_records(state_); }

  // Where the stored file of catalogue row `row` lies.
  std::string stored_path(const nlohmann::json& row) const {
    return pool_ + "/" + row.at("uri").get<std::string>() + "/" + row.at("backup_file").get<std::string>();
  }

  // Inverts 16 bytes in the middle of the longest stretch of the file that
  // holds no record line of the stream (so the data, not the framing, is
  // damaged, and a restore that does not check goes through).
  void flip_data_bytes(const std::string& path) {
    std::string bytes = read_file(path);
    ASSERT_GT(bytes.size(), 8192u);
    std::size_t best_from = 0, best_len = 0, from = 0;
    for (std::size_t at = 0;; at = from) {
      std::size_t next = bytes.find("DATA ", at + 1);
      if (next == std::string::npos) next = bytes.size();
      if (next - at > best_len) {
        best_from = at;
        best_len = next - at;
      }
      if (next == bytes.size()) break;
      from = next;
    }
    ASSERT_GT(best_len, 4096u);
    const std::size_t pos = best_from + best_len / 2;
    for (std::size_t i = pos; i < pos + 16; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    ASSERT_TRUE(write_file(path, bytes));
  }

  // Drops the digest from every storage entry of DB1's records, as records
  // made before digests were kept look.
  void drop_digests() {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((state_ + "/catalog.db").c_str(), &db));
    std::vector<std::pair<long long, std::string>> records;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT seqno, record FROM backup_sets", -1, &st, nullptr));
    while (sqlite3_step(st) == SQLITE_ROW)
      records.emplace_back(sqlite3_column_int64(st, 0), reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    ASSERT_FALSE(records.empty());
    for (auto& rec : records) {
      nlohmann::json row = nlohmann::json::parse(rec.second);
      ASSERT_TRUE(row.at("storages").at(0).contains("digest")) << rec.second;
      for (auto& storage : row.at("storages")) storage.erase("digest");
      ASSERT_EQ(SQLITE_OK,
                sqlite3_prepare_v2(db, "UPDATE backup_sets SET record = ?1 WHERE seqno = ?2", -1, &st, nullptr));
      const std::string text = row.dump();
      sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(st, 2, rec.first);
      EXPECT_EQ(SQLITE_DONE, sqlite3_step(st));
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
  }

  // A restore refused by the check: exit 1, alert 16, one error naming the
  // set, the instance still running with its data as it was.
  void expect_refused(const Run_Result& r, const nlohmann::json& row, const std::string& data_before) {
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(has_alert(r, 16)) << r.err;
    const std::string id = row.at("backup_id").get<std::string>();
    const std::string file = row.at("backup_file").get<std::string>();
    EXPECT_TRUE(contains(r.err, "Backup set " + id + " (file " + file + ") does not match its record") ||
                contains(r.err, "Failed to read backup set " + id + " (file " + file + ")"))
        << r.err;
    EXPECT_TRUE(server_running());
    EXPECT_EQ(data_before, data_checksum());
  }
};

const char UNVERIFIED[] = "recorded without a digest: not verified before the restore";

TEST_F(IntegrityFaults, FlippedBytesInAnUncompressedSetRefuseTheRestore) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::string changed = data_checksum();
  const nlohmann::json row = rows().at(0);
  ASSERT_TRUE(row.at("storages").at(0).contains("digest")) << row.dump();
  flip_data_bytes(stored_path(row));
  const Run_Result r = restore();
  expect_refused(r, row, changed);
  EXPECT_TRUE(contains(r.err, "digest mismatch")) << r.err;
  expect_clean(1, true);
}

TEST_F(IntegrityFaults, FlippedBytesInAZstdSetRefuseTheRestore) {
  ASSERT_EQ(0, backup("full", {"--compression", "zstd"}).status);
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::string changed = data_checksum();
  const nlohmann::json row = rows().at(0);
  const std::string path = stored_path(row);
  std::string bytes = read_file(path);
  ASSERT_GT(bytes.size(), 1024u);
  for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i) bytes[i] = static_cast<char>(~bytes[i]);
  ASSERT_TRUE(write_file(path, bytes));
  expect_refused(restore(), row, changed);
  expect_clean(1, true);
}

TEST_F(IntegrityFaults, TruncatedSetRefusesTheRestore) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::string changed = data_checksum();
  const nlohmann::json row = rows().at(0);
  const std::string bytes = read_file(stored_path(row));
  ASSERT_TRUE(write_file(stored_path(row), bytes.substr(0, bytes.size() - 100)));
  expect_refused(restore(), row, changed);
  expect_clean(1, true);
}

TEST_F(IntegrityFaults, SetSwappedForAnotherOfTheSameSizeIsRefused) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("full").status);
  const std::string changed = data_checksum();
  const nlohmann::json all = rows();
  ASSERT_EQ(2u, all.size());
  const std::string first = read_file(stored_path(all[0]));
  ASSERT_EQ(first.size(), read_file(stored_path(all[1])).size()) << "the case needs two sets of one size";
  ASSERT_TRUE(write_file(stored_path(all[1]), first));
  const Run_Result r = restore(all[1].at("backup_id").get<std::string>());
  expect_refused(r, all[1], changed);
  EXPECT_TRUE(contains(r.err, "digest mismatch")) << r.err;
  // The set that was copied is intact and still restores.
  const Run_Result good = restore(all[0].at("backup_id").get<std::string>());
  EXPECT_EQ(0, good.status) << good.out << good.err;
  expect_clean(2, true);
}

TEST_F(IntegrityFaults, NoVerifyFeedsADamagedSetAfterOneWarning) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  flip_data_bytes(stored_path(rows().at(0)));
  const Run_Result r = restore("", {"--no-verify"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Verifying turned off: the backup sets are not verified before the restore")) << r.err;
  EXPECT_FALSE(has_alert(r, 16)) << r.err;
  // Nothing stopped the damage: the restored data is not what was backed up.
  EXPECT_NE(backed_up, data_checksum());
  expect_clean(1, true);
}

TEST_F(IntegrityFaults, VerifyReportsEachSetAndFailsOnTheDamagedOne) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("incr").status);
  ASSERT_EQ(0, backup("full", {"--compression", "zstd"}).status);
  const nlohmann::json all = rows();
  ASSERT_EQ(3u, all.size());
  auto line = [&](std::size_t i, const std::string& verdict) {
    return all[i].at("backup_id").get<std::string>() + " " + all[i].at("backup_file").get<std::string>() + " " +
           verdict;
  };
  // The pool-wide check reads the same sets by their manifests.
  auto pool_line = [&](std::size_t i, const std::string& verdict) {
    return verdict + " " + all[i].at("uri").get<std::string>() + "/" + all[i].at("uuid").get<std::string>() +
           ".manifest (set " + all[i].at("backup_id").get<std::string>() + " of DB1)";
  };
  Run_Result r = agent({"verify", "DB1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(contains(r.out, line(i, "ok\n"))) << r.out;
  r = agent({"verify", "--pool", "p1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(contains(r.out, pool_line(i, "ok") + "\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "verify p1: 3 sets ok, 0 problems\n")) << r.out;

  flip_data_bytes(stored_path(all[1]));
  r = agent({"verify", "DB1"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, line(0, "ok\n"))) << r.out;
  EXPECT_TRUE(contains(r.out, line(1, "MISMATCH: ")) && contains(r.out, "digest mismatch")) << r.out;
  EXPECT_TRUE(contains(r.out, line(2, "ok\n"))) << r.out;
  r = agent({"verify", "--pool", "p1"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, pool_line(1, "MISMATCH") + ": ") && contains(r.out, "digest mismatch")) << r.out;
  EXPECT_TRUE(contains(r.out, "verify p1: 2 sets ok, 1 problem\n")) << r.out;
  // The chain of the damaged incremental holds it; the zstd full's does not.
  r = agent({"verify", "DB1", "--point", all[1].at("backup_id").get<std::string>()});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, line(0, "ok\n")) && contains(r.out, line(1, "MISMATCH: "))) << r.out;
  EXPECT_FALSE(contains(r.out, line(2, ""))) << r.out;
  r = agent({"verify", "DB1", "--point", all[2].at("backup_id").get<std::string>()});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(line(2, "ok\n"), r.out);

  ASSERT_EQ(0, ::unlink(stored_path(all[2]).c_str()));
  r = agent({"verify", "DB1", "--point", all[2].at("backup_id").get<std::string>()});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, line(2, "MISSING: pool p1 holds no such file ("))) << r.out;
  r = agent({"verify", "--pool", "p1"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, pool_line(2, "MISSING") + ": its stored file ")) << r.out;
  EXPECT_TRUE(contains(r.out, "verify p1: 1 set ok, 2 problems\n")) << r.out;
  EXPECT_EQ(2, agent({"verify"}).status);
  r = agent({"verify", "DB1", "--pool", "p1"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("oscar-agent: verify: name either an instance or --pool POOL\n", r.err);
  EXPECT_EQ(1, agent({"verify", "NOPE"}).status);
}

TEST_F(IntegrityFaults, SetsRecordedWithoutADigestRestoreAfterOneWarning) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("incr").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  drop_digests();
  const nlohmann::json all = rows();
  ASSERT_EQ(2u, all.size());

  Run_Result r = agent({"verify", "DB1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, all[0].at("backup_id").get<std::string>() + " " +
                                  all[0].at("backup_file").get<std::string>() + " not verified: no digest recorded\n"))
      << r.out;

  r = restore(all[1].at("backup_id").get<std::string>());
  EXPECT_EQ(0, r.status) << r.out << r.err;
  const std::size_t first = r.err.find(UNVERIFIED);
  ASSERT_NE(std::string::npos, first) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(UNVERIFIED, first + 1)) << "one warning per restore\n" << r.err;
  EXPECT_TRUE(contains(r.err, all[0].at("backup_id").get<std::string>()) &&
              contains(r.err, all[1].at("backup_id").get<std::string>()))
      << r.err;
  EXPECT_EQ(backed_up, data_checksum());
  expect_clean(2, true);
}

}  // namespace
