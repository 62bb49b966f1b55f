// An import of one instance's export set into another instance: while it
// runs, the set's own instance is locked as well, so expire on that
// instance cannot take the set away; two imports crossing between two
// instances both finish.

#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "host/base/agent_state.h"
#include "host/base/job_mutex.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/catalogue_records.h"

namespace {

using json = nlohmann::json;

class ImportLocks : public FaultSuite {
 protected:
  void SetUp() override {
    FaultSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, db2_.init().status);
    ASSERT_EQ(0, db2_.admin("start").status);
    ASSERT_TRUE(write_private_file(tmp_ / "pw2", db2_.password()));
    const Run_Result r = agent(
        {"instance", "add", "DB2", "--home", db2_.root(), "--user", db2_.user(), "--password-file", tmp_ / "pw2"});
    ASSERT_EQ(0, r.status) << r.err;
  }

  // The ids of an instance's export sets, oldest first.
  std::vector<std::string> exports_of(const std::string& instance) {
    const json rows = json::parse(agent({"catalog", instance, "--json"}).out, nullptr, false).value("backups", json());
    std::vector<std::string> out;
    if (!rows.is_array()) return out;
    for (const json& row : rows)
      if (row.value("type", std::string()) == "export") out.push_back(row.value("backup_id", std::string()));
    return out;
  }
  std::string uuid_of(const std::string& instance) const {
    const json doc = json::parse(read_file(state_ + "/instances.json"), nullptr, false);
    for (const json& i : doc["instances"])
      if (i["name"] == instance) return i["uuid"];
    return std::string();
  }
  // The running import tools of the home.
  std::vector<pid_t> import_tools() const {
    std::vector<pid_t> out;
    for (pid_t p : tool_processes())
      if (read_file("/proc/" + std::to_string(p) + "/cmdline").find("/bin/osrimp") != std::string::npos)
        out.push_back(p);
    return out;
  }
  Run_Result export_table(const std::string& instance, const std::string& entry) {
    return agent({"export", instance, "--entries", entry, "--pool", "p1"});
  }

  // The definition "oscar-agent import" makes for DB1's export set `row`
  // into DB2/ARCHIVE/ITEMS.
  json import_definition(const json& row) {
    const json& file = row["backup_files"][0];
    return {{"id", "import-into-db2"},
            {"uid", "7c9e6679-7425-40de-944b-e07fc1f90ae7"},
            {"name", "import into DB2"},
            {"type", "restore"},
            {"subtype", "import"},
            {"source",
             {{"id", uuid_of("DB2")},
              {"name", "DB2"},
              {"backup_host_id", row["host_uuid"]},
              {"backup_definition_id", row["definition_uuid"]},
              {"pool_uuid", row["pool_uuid"]},
              {"catalog_id", row["uuid"]},
              {"seq", row["seq"]},
              {"original",
               {{"database", file["database"]},
                {"schema", file["schema"]},
                {"table", file["table"]},
                {"backup_file", file["file"]}}},
              {"restore_as", {{"database", "DB2"}, {"schema", "ARCHIVE"}, {"table", "ITEMS"}}}}},
            {"options", json::object()}};
  }
  Run_Result run_definition(const json& def) {
    EXPECT_TRUE(write_file(tmp_ / "def.json", def.dump()));
    return agent({"run", tmp_ / "def.json"});
  }

  // A second instance in DB1's home, so that its tools are among
  // tool_processes().
  Sim_Home db2_{home_.root(), "DB2", "sysdba", "Fault-pass-92"};
};

TEST_F(ImportLocks, ExpireOfTheSourceInstanceCannotRemoveTheSetAnImportReads) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "20000", "--row-bytes", "256"}).status);
  ASSERT_EQ(0, export_table("DB1", "DB1/SALES/ITEMS").status);
  ASSERT_EQ(0, export_table("DB1", "DB1/SALES/ITEMS").status);
  const std::vector<std::string> sets = exports_of("DB1");
  ASSERT_EQ(2u, sets.size());
  const std::size_t stored = pool_files().size();

  // The import stays in its import tool until that is killed (or, should
  // the test fail first, for 90 seconds).
  Run_Result import;
  std::thread runner([&] {
    import = agent({"import", "DB1", "--point", sets[0], "--as", "DB2/ARCHIVE/ITEMS"},
                   {"OSCAR_SIM_OSRIMP_FAULT=hang", "OSCAR_SIM_HANG_SECONDS=90"});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<pid_t> importers = import_tools();
  for (; importers.empty() && std::chrono::steady_clock::now() < deadline; importers = import_tools())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(1u, importers.size()) << "the import tool was not seen running";

  const Run_Result refused = agent({"expire", "DB1", "--keep-full", "1", "--keep-export", "1", "--timeout", "1"});
  EXPECT_EQ(1, refused.status) << refused.out << refused.err;
  EXPECT_TRUE(contains(refused.err, "expire: a job is using the backups of " + uuid_of("DB1"))) << refused.err;
  EXPECT_TRUE(contains(refused.err, "(import into DB2)")) << refused.err;
  EXPECT_EQ(sets, exports_of("DB1"));
  EXPECT_EQ(stored, pool_files().size());

  for (pid_t tool : importers) ::kill(tool, SIGKILL);
  runner.join();
  EXPECT_EQ(1, import.status) << import.out << import.err;

  // Once the import has ended, the older set goes.
  const Run_Result expired = agent({"expire", "DB1", "--keep-full", "1", "--keep-export", "1", "--timeout", "1"});
  EXPECT_EQ(0, expired.status) << expired.out << expired.err;
  EXPECT_TRUE(contains(expired.out, "removed " + sets[0] + " (export of ")) << expired.out;
  EXPECT_EQ(std::vector<std::string>{sets[1]}, exports_of("DB1"));
  EXPECT_TRUE(tools_left().empty());
}

TEST_F(ImportLocks, ImportWaitingForTheSourceInstanceSaysWhomOnceAndEndsWithItsAbort) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "100"}).status);
  ASSERT_EQ(0, export_table("DB1", "DB1/SALES/ITEMS").status);
  const std::vector<std::string> sets = exports_of("DB1");
  ASSERT_EQ(1u, sets.size());
  const std::string resource = uuid_of("DB1");
  Run_Result r;
  {
    // Held as an expire of DB1 holds it.
    const std::string old_state = agent_state_dir();
    set_agent_state_dir(state_);
    const Job_Lock expire(resource, "expire of DB1", ACE_Time_Value(5));
    set_agent_state_dir(old_state);
    ASSERT_TRUE(expire.locked()) << expire.error();
    r = agent({"import", "DB1", "--point", sets[0], "--as", "DB2/ARCHIVE/ITEMS", "--timeout", "2"});
  }
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "the job ran longer than 2 seconds, aborting it")) << r.err;
  std::string logs;
  for (const std::string& f : files_under(state_ + "/logs")) logs += read_file(f);
  const std::string waits = "Job import into DB2 waits for the lock of " + resource + ", held by pid " +
                            std::to_string(::getpid()) + " (expire of DB1)";
  const std::size_t at = logs.find(waits);
  EXPECT_NE(std::string::npos, at) << logs;
  EXPECT_EQ(std::string::npos, logs.find("waits for the lock", at + waits.size())) << logs;
  EXPECT_TRUE(contains(logs, "Failed to lock " + resource + ", whose set the job reads: cancelled while waiting"))
      << logs;
  EXPECT_NE(0, db2_.admin("table-checksum", {"ARCHIVE.ITEMS"}).status);
  EXPECT_TRUE(tools_left().empty());

  // Free again, the same import runs.
  r = agent({"import", "DB1", "--point", sets[0], "--as", "DB2/ARCHIVE/ITEMS"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(home_.admin("table-checksum", {"SALES.ITEMS"}).out, db2_.admin("table-checksum", {"ARCHIVE.ITEMS"}).out);
}

TEST_F(ImportLocks, ImportsCrossingBetweenTwoInstancesBothFinish) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "3000"}).status);
  ASSERT_EQ(0, db2_.admin("create-table", {"STOCK.GOODS", "--rows", "3000"}).status);
  ASSERT_EQ(0, export_table("DB1", "DB1/SALES/ITEMS").status);
  ASSERT_EQ(0, export_table("DB2", "DB2/STOCK/GOODS").status);
  const std::vector<std::string> from1 = exports_of("DB1"), from2 = exports_of("DB2");
  ASSERT_EQ(1u, from1.size());
  ASSERT_EQ(1u, from2.size());

  for (int round = 0; round < 3; ++round) {
    const std::string suffix = std::to_string(round);
    Run_Result into2, into1;
    std::thread a([&] {
      into2 = agent({"import", "DB1", "--point", from1[0], "--as", "DB2/COPY" + suffix + "/ITEMS", "--timeout", "120"});
    });
    std::thread b([&] {
      into1 = agent({"import", "DB2", "--point", from2[0], "--as", "DB1/COPY" + suffix + "/GOODS", "--timeout", "120"});
    });
    a.join();
    b.join();
    ASSERT_EQ(0, into2.status) << into2.out << into2.err;
    ASSERT_EQ(0, into1.status) << into1.out << into1.err;
    EXPECT_EQ(home_.admin("table-checksum", {"SALES.ITEMS"}).out,
              db2_.admin("table-checksum", {"COPY" + suffix + ".ITEMS"}).out);
    EXPECT_EQ(db2_.admin("table-checksum", {"STOCK.GOODS"}).out,
              home_.admin("table-checksum", {"COPY" + suffix + ".GOODS"}).out);
  }
  EXPECT_TRUE(tools_left().empty());
}

TEST_F(ImportLocks, ImportDocumentWithAnIdThatClimbsOutIsRefusedBeforeAnythingIsTouched) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "100"}).status);
  ASSERT_EQ(0, export_table("DB1", "DB1/SALES/ITEMS").status);
  const json rows = catalogue_records(state_);
  ASSERT_TRUE(rows.is_array() && rows.size() == 1) << rows.dump();
  const json good = import_definition(rows[0]);
  const std::vector<std::string> stored = pool_files();
  struct Case {
    const char* key;
    const char* id;
    const char* refusal;
  };
  // The source's own id on the path that also locks the set's instance,
  // and the ids that name the set's folder in storage.
  const Case cases[] = {
      {"id", "../../z", "Invalid job source id \"../../z\": it holds \"/\""},
      {"backup_host_id", "../x", "Invalid backup host id \"../x\": it holds \"/\""},
      {"backup_host_id", "..", "Invalid backup host id \"..\": it holds \"..\""},
      {"backup_definition_id", "a/b", "Invalid backup definition id \"a/b\": it holds \"/\""},
  };
  for (const Case& c : cases) {
    json hostile = good;
    hostile["source"][c.key] = c.id;
    const Run_Result r = run_definition(hostile);
    EXPECT_EQ(1, r.status) << c.key << r.out << r.err;
    EXPECT_TRUE(contains(r.err, c.refusal)) << c.key << r.err;
    EXPECT_NE(0, db2_.admin("table-checksum", {"ARCHIVE.ITEMS"}).status) << c.key;
    EXPECT_EQ(stored, pool_files()) << c.key;
    EXPECT_TRUE(tools_left().empty()) << c.key;
  }
  EXPECT_FALSE(::access((tmp_ / "z").c_str(), F_OK) == 0) << "a lock was made outside the state directory";

  // The same document with its own ids imports the table.
  const Run_Result r = run_definition(good);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(home_.admin("table-checksum", {"SALES.ITEMS"}).out, db2_.admin("table-checksum", {"ARCHIVE.ITEMS"}).out);
}

}  // namespace
