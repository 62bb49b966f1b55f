// Faults around the records a backup chain depends on: the catalogue, the
// ids that become paths, the lock of a resource, job documents, and a
// restore that is interrupted after the instance was stopped.

#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/faults/fault_fixture.h"
#include "tests/support/catalogue_records.h"

namespace {

const char SLOW_BRCMD[] = "OSCAR_SIM_BRCMD_FAULT=slow=50";

// Pids of the processes whose command line starts with `program`.
std::vector<pid_t> running(const std::string& program) {
  std::vector<pid_t> out;
  for (const std::string& name : dir_entries("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cmd = read_file("/proc/" + name + "/cmdline");
    if (cmd.compare(0, program.size(), program) == 0) out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

// Waits (at most 60 seconds) until a process of `program` runs.
bool wait_for_process(const std::string& program) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!running(program).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class GuardFaults : public FaultSuite {
 protected:
  std::string catalogue() const { return state_ + "/catalog.db"; }

  // The server's pid, 0 when it does not run: a changed pid means the
  // instance was stopped and started again.
  pid_t server_pid() const {
    const std::vector<pid_t> pids = running(home_.bin("oscar"));
    return pids.size() == 1 ? pids[0] : 0;
  }

  // Everything the jobs of the case wrote into their logs.
  std::string job_logs() const {
    std::string all;
    for (const std::string& f : files_under(state_ + "/logs")) all += read_file(f);
    return all;
  }

  // Runs SQL on the catalogue as another process could.
  void catalogue_sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(catalogue().c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  // The catalogue's records of DB1, oldest first.
  nlohmann::json rows() { return catalogue_records(state_); }

  std::string pool_uuid(const std::string& name) {
    const nlohmann::json reg = nlohmann::json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    for (const nlohmann::json& p : reg.value("pools", nlohmann::json::array()))
      if (p.value("name", "") == name) return p.value("uuid", "");
    ADD_FAILURE() << "no pool " << name;
    return "";
  }

  // A backup definition of DB1 run through "oscar-agent run".
  nlohmann::json definition(const std::string& source_id, const std::string& pool) {
    return {{"id", "guard-def"},
            {"uid", "7c9e6679-7425-40de-944b-e07fc1f90ae7"},
            {"name", "guarded backup"},
            {"type", "backup"},
            {"subtype", "full"},
            {"target", {{"id", pool_uuid(pool)}, {"device_id", ""}}},
            {"source", {{"id", source_id}, {"name", "DB1"}, {"entries", {"oscar/DB1"}}}}};
  }
  Run_Result run_text(const std::string& text) {
    EXPECT_TRUE(write_file(tmp_ / "def.json", text));
    return agent({"run", tmp_ / "def.json"});
  }
};

TEST_F(GuardFaults, CommitFailingAfterBrcmdMakesTheNextIncrementalFull) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  Run_Result r;
  std::thread run([&] { r = backup("incr", {}, {SLOW_BRCMD}); });
  // Once brcmd streams, the catalogue check is behind the run; another
  // process then keeps the catalogue's write lock past every retry.
  const bool streaming = wait_for_process(home_.bin("brcmd"));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(catalogue().c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
  run.join();
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_TRUE(streaming);
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err,
                       "the database's chain state has moved to an unrecorded backup, so the next incremental "
                       "backup will run as full"))
      << r.err;
  EXPECT_EQ(1u, backup_ids().size()) << "the failed run recorded nothing";
  expect_clean(1);

  r = backup("incr");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "backup full of DB1 to pool p1 completed: ")) << r.out;
  EXPECT_TRUE(contains(job_logs(), "Lack of backup info, run full backup instead.")) << job_logs();
  const nlohmann::json sets = rows();
  ASSERT_TRUE(sets.is_array() && sets.size() == 2) << sets.dump();
  EXPECT_EQ("full", sets[1].value("type", "")) << sets.dump();
  expect_clean(2);
}

TEST_F(GuardFaults, DamagedCatalogueFailsTheBackupBeforeBrcmdWithTheInstanceUntouched) {
  ASSERT_EQ(0, backup("full").status);
  const std::string chain = read_file(home_.root() + "/agent/lastlsn.dat");
  const pid_t server = server_pid();
  ASSERT_NE(0, server);
  for (const char* extra : {"-wal", "-shm"}) ::unlink((catalogue() + extra).c_str());
  ASSERT_TRUE(write_file(catalogue(), std::string(8192, 'Z')));

  const Run_Result r = backup("full");
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "is not usable")) << r.err;
  EXPECT_TRUE(has_alert(r, 21)) << r.err;
  EXPECT_EQ(chain, read_file(home_.root() + "/agent/lastlsn.dat")) << "brcmd ran";
  EXPECT_EQ(server, server_pid()) << "the instance was stopped";
  EXPECT_TRUE(fifos().empty());
  EXPECT_TRUE(tools_left().empty());
  EXPECT_EQ(1u, pool_files().size());
}

TEST_F(GuardFaults, NegativeOrOversizedSetSizeRefusesTheRestoreWithTheInstanceRunning) {
  ASSERT_EQ(0, backup("full").status);
  const pid_t server = server_pid();
  for (const char* size : {"-5", "9223372036854775807"}) {
    catalogue_sql(std::string("UPDATE backup_sets SET record = json_set(record, '$.backup_set_size', ") + size + ")");
    const Run_Result r = restore();
    EXPECT_EQ(1, r.status) << size << r.out << r.err;
    EXPECT_TRUE(has_alert(r, 21)) << size << r.err;
    EXPECT_TRUE(contains(r.err, "Invalid catalog data, exception: backup_set_size")) << r.err;
    EXPECT_EQ(server, server_pid()) << size << ": the instance was stopped";
  }
  expect_clean(1);
}

TEST_F(GuardFaults, CatalogueRowNamingAPathOutsideItsFolderRefusesTheRestoreWithTheInstanceRunning) {
  ASSERT_EQ(0, backup("full").status);
  const pid_t server = server_pid();
  const std::string good_uri = rows()[0].value("uri", "");
  const std::string good_file = rows()[0].value("backup_file", "");
  struct Case {
    const char* key;
    const char* value;
    const char* refusal;
  };
  const Case cases[] = {
      {"uri", "../x", "Invalid catalog data, exception: uri \"../x\": it holds \"/\""},
      {"uri", "..", "Invalid catalog data, exception: uri \"..\": it holds \"..\""},
      {"backup_file", "../../etc/passwd",
       "Invalid catalog data, exception: backup_file \"../../etc/passwd\": it holds"},
  };
  for (const Case& c : cases) {
    catalogue_sql(std::string("UPDATE backup_sets SET record = json_set(record, '$.uri', '") + good_uri +
                  "', '$.backup_file', '" + good_file + "', '$." + c.key + "', '" + c.value + "')");
    const Run_Result r = restore();
    EXPECT_EQ(1, r.status) << c.value << r.out << r.err;
    EXPECT_TRUE(has_alert(r, 21)) << c.value << r.err;
    EXPECT_TRUE(contains(r.err, c.refusal)) << r.err;
    EXPECT_EQ(server, server_pid()) << c.value << ": the instance was stopped";
  }
  expect_clean(1);
}

TEST_F(GuardFaults, SourceIdThatClimbsOutOfThePoolIsRefused) {
  // The pool lies two levels deep, so that "../../x" would land in this
  // test's own directory.
  const std::string deep = tmp_ / "deep";
  ASSERT_EQ(0, agent({"pool", "add", "p2", "--url", "file://" + deep + "/a/pool"}).status);
  const Run_Result r = run_text(definition("../../x", "p2").dump());
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Invalid job source id \"../../x\": it holds \"/\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "job failed: ")) << r.err;
  EXPECT_TRUE(files_under(deep).empty()) << files_under(deep)[0];
  expect_clean(0);
}

TEST_F(GuardFaults, JobDocumentNamingAKeyTwiceIsRefused) {
  // The second "id" would replace the first without a word.
  std::string text = definition("res-guard", "p1").dump();
  const std::string source = "\"source\":{";
  text.insert(text.find(source) + source.size(), "\"id\":\"../../y\",");
  const Run_Result r = run_text(text);
  EXPECT_NE(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "names the key \"id\" twice")) << r.err;
  expect_clean(0);
}

TEST_F(GuardFaults, TwoAgentsBackingUpOneInstanceRunOneAfterTheOther) {
  Run_Result first, second;
  std::thread a([&] { first = backup("full", {}, {SLOW_BRCMD}); });
  std::thread b([&] { second = backup("full", {}, {SLOW_BRCMD}); });
  a.join();
  b.join();
  EXPECT_EQ(0, first.status) << first.out << first.err;
  EXPECT_EQ(0, second.status) << second.out << second.err;
  // One of them waited, and said so once in its job's log.
  const std::string logs = job_logs();
  const std::size_t wait = logs.find("waits for the lock of");
  EXPECT_NE(std::string::npos, wait) << logs;
  EXPECT_EQ(std::string::npos, logs.find("waits for the lock of", wait + 1)) << logs;
  EXPECT_EQ(2u, backup_ids().size());
  expect_clean(2);
}

TEST_F(GuardFaults, InterruptedRestoreSaysTheInstanceIsLeftStoppedAndARerunFinishes) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  const Run_Result r =
      agent_signalled_during({"restore", "DB1", "--force"}, home_.bin("brcmd"), SIGINT, false, {SLOW_BRCMD});
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "was left stopped with partly restored data files; run the restore again")) << r.err;
  expect_clean(1, false);

  const Run_Result again = restore();
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_FALSE(contains(again.err, "left stopped")) << again.err;
  EXPECT_EQ(backed_up, data_checksum());
  // Found stopped by the interrupted run, left stopped.
  expect_clean(1, false);
}

}  // namespace
