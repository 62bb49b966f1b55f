// Logical export and import through the agent: the round trip of a table
// and a schema with the tablespace they live in, an import under other
// names, and the faults that must leave no record, no dump and no tool.

#include <nlohmann/json.hpp>

#include "tests/faults/fault_fixture.h"

namespace {

class LogicalJobs : public FaultSuite {
 protected:
  Run_Result sim(const std::string& command, const std::vector<std::string>& extra) {
    return home_.admin(command, extra);
  }
  std::string checksum(const std::string& table) { return sim("table-checksum", {table}).out; }
  Run_Result export_entries(const std::vector<std::string>& entries, const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"export", "DB1", "--pool", "p1"};
    for (const std::string& e : entries) args.insert(args.end(), {"--entries", e});
    return agent(args, env);
  }
  // The export sets of DB1 in the listing, oldest first.
  std::vector<nlohmann::json> export_sets() {
    const Run_Result r = agent({"catalog", "DB1", "--json"});
    const nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
    std::vector<nlohmann::json> sets;
    if (!rows.is_array()) return sets;
    for (const nlohmann::json& row : rows) {
      if (row.value("type", std::string()) == "export") sets.push_back(row);
    }
    return sets;
  }
  // Files left in the agent's dump spool.
  std::vector<std::string> spool_files() const {
    return files_under(state_ + "/root/var/cache/corvane/vantrel4/oscar/dump");
  }
};

TEST_F(LogicalJobs, TableAndSchemaComeBackWithTheirTablespaceAfterBeingDropped) {
  ASSERT_EQ(0, sim("create-table", {"SALES.ITEMS", "--rows", "300"}).status);
  const std::string datafile = home_.root() + "/odbs/DB1/ts1.dbf";
  ASSERT_EQ(0, home_
                   .tool("isql", {"-Usysdba/" + home_.password(), "-dDB1", "-p" + std::to_string(home_.port()), "-c",
                                  "create tablespace TS1 datafile '" + datafile + "'"})
                   .status);
  const std::string items = checksum("SALES.ITEMS");
  ASSERT_FALSE(items.empty());

  Run_Result r = export_entries({"DB1/SALES/ITEMS"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  r = export_entries({"DB1/SALES"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const std::vector<nlohmann::json> sets = export_sets();
  ASSERT_EQ(2u, sets.size());
  EXPECT_EQ("table", sets[0].value("level", std::string()));
  EXPECT_EQ(nlohmann::json({"DB1/SALES/ITEMS"}), sets[0]["contents"]);
  EXPECT_EQ("schema", sets[1].value("level", std::string()));
  EXPECT_TRUE(spool_files().empty());

  ASSERT_EQ(0, sim("drop", {"SALES"}).status);
  ASSERT_EQ(0, sim("drop-tablespace", {"TS1"}).status);
  EXPECT_NE(items, checksum("SALES.ITEMS"));

  r = agent({"import", "DB1", "--point", sets[1]["backup_id"]});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(items, checksum("SALES.ITEMS"));
  // The tablespace the export recorded is back, with a data file of its own.
  bool recreated = false;
  for (const std::string& f : dir_entries(home_.root() + "/odbs/DB1")) recreated |= f.rfind("TS1_", 0) == 0;
  EXPECT_TRUE(recreated);

  ASSERT_EQ(0, sim("drop", {"SALES.ITEMS"}).status);
  r = agent({"import", "DB1", "--point", sets[0]["backup_id"]});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(items, checksum("SALES.ITEMS"));
  EXPECT_TRUE(spool_files().empty());
  EXPECT_TRUE(tools_left().empty());
}

TEST_F(LogicalJobs, ImportUnderAnotherSchemaAndTableLeavesTheOriginalAlone) {
  ASSERT_EQ(0, sim("create-table", {"SALES.ITEMS", "--rows", "50"}).status);
  const std::string items = checksum("SALES.ITEMS");
  ASSERT_EQ(0, export_entries({"DB1/SALES/ITEMS"}).status);
  const std::vector<nlohmann::json> sets = export_sets();
  ASSERT_EQ(1u, sets.size());
  ASSERT_EQ(0, sim("change-table", {"SALES.ITEMS"}).status);
  const std::string changed = checksum("SALES.ITEMS");
  ASSERT_NE(items, changed);

  const Run_Result r = agent({"import", "DB1", "--point", sets[0]["backup_id"], "--as", "DB1/ARCHIVE/ITEMS_OLD"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(changed, checksum("SALES.ITEMS"));
  EXPECT_FALSE(checksum("ARCHIVE.ITEMS_OLD").empty());
}

TEST_F(LogicalJobs, FailedOrRefusedExportsRecordNothingAndLeaveNoDump) {
  // A schema name the tools cannot take as it stands.
  Run_Result r = export_entries({"DB1/SALES;DROP"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Invalid schema name")) << r.err;
  // The export tool failing after it wrote part of its dump.
  r = export_entries({"DB1/APP"}, {"OSCAR_SIM_OSREXP_FAULT=fail-keep"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "osrexp ended with status 1")) << r.err;
  r = export_entries({"DB1/APP"}, {"OSCAR_SIM_OSREXP_FAULT=die-mid-file"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(export_sets().empty());
  EXPECT_TRUE(spool_files().empty());
  EXPECT_TRUE(pool_files().empty()) << pool_files()[0];
  EXPECT_TRUE(tools_left().empty());

  r = agent({"import", "DB1", "--point", "no-such-export"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "no export no-such-export")) << r.err;
  r = agent({"export", "DB1", "--pool", "p1", "--entries", "DB1//X"});
  EXPECT_EQ(2, r.status) << r.err;
}

}  // namespace
