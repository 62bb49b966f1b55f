// The simulator's query shell: the command-line forms, the answers to the
// catalogue queries, its errors and its faults.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>

#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

class SimIsql : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start({"--vip", "10.9.8.7"})); }

  // The module's query form.
  Run_Result query(const std::string& sql, const std::vector<std::string>& env = {},
                   const std::string& host = "localhost", int timeout_ms = 30000) {
    return home_.tool("isql",
                      {"-U" + home_.user() + "/" + home_.password(), "-h" + host, "-dORCL",
                       "-p" + std::to_string(home_.port()), "-c", sql},
                      env, timeout_ms);
  }

  // Data lines of a result: everything after heading and separator, except
  // the row-count line.
  static std::vector<std::string> data_lines(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    int n = 0;
    while (pos < out.size()) {
      size_t e = out.find('\n', pos);
      std::string l = out.substr(pos, e - pos);
      pos = e == std::string::npos ? out.size() : e + 1;
      if (n++ >= 2 && !std::regex_match(l, std::regex("\\(\\d+ row[s]?\\)"))) lines.push_back(l);
    }
    return lines;
  }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
};

TEST_F(SimIsql, VersionFormsCarryTheBuildText) {
  std::regex version_line(".*\\(build\\s+(.*)\\) for.*");
  std::smatch m;
  Run_Result tool = home_.tool("isql", {"--version"});
  ASSERT_EQ(0, tool.status);
  ASSERT_TRUE(std::regex_search(tool.out, m, version_line)) << tool.out;
  EXPECT_EQ("20240315-r4821", m[1].str());
  Run_Result server = home_.tool("isql", {"-p", std::to_string(home_.port()), "-d", "ORCL", "-c", "select version()"});
  ASSERT_EQ(0, server.status) << server.err;
  EXPECT_TRUE(std::regex_search(server.out, m, version_line)) << server.out;
  Run_Result other = home_.tool(
      "isql", {"-p", std::to_string(home_.port()), "-d", "ORCL", "-c", "select TABLE_SCHEM from v_sys_schemas"});
  EXPECT_NE(0, other.status) << "only the version may be asked without an account";
}

TEST_F(SimIsql, ResultsHaveHeadingSeparatorRowsAndCountWithoutEmptyLines) {
  Run_Result r = query("select TABLE_SCHEM,TABLE_NAME,TABLE_TYPE from v_sys_tables where TABLE_SCHEM='APP'");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("\n\n"));
  EXPECT_NE(std::string::npos, r.out.find("TABLE_NAME"));
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\n-+\\+-+\\+-+\n")));
  EXPECT_NE(std::string::npos, r.out.find("\n(3 rows)\n"));
  std::vector<std::string> rows = data_lines(r.out);
  ASSERT_EQ(3u, rows.size());
  EXPECT_TRUE(std::regex_match(rows[0], std::regex(" APP +\\| CUSTOMERS +\\| BASE TABLE"))) << rows[0];
}

TEST_F(SimIsql, AnswersTheCatalogueQueries) {
  Run_Result mode = query("select archivemode from v_sys_database_info");
  ASSERT_EQ(0, mode.status);
  EXPECT_EQ(std::vector<std::string>{" ARCHIVELOG"}, data_lines(mode.out));
  Run_Result schemas = query("select TABLE_SCHEM from v_sys_schemas");
  EXPECT_NE(std::string::npos, schemas.out.find(" SYSDBA\n"));
  EXPECT_NE(std::string::npos, schemas.out.find(" (null)\\ROOT\n"));
  EXPECT_NE(std::string::npos, schemas.out.find(" APP\n"));
  Run_Result ts = query(
      "select tsname from sys_tablespace where tsname not in ('SYSTEM', 'AUDIT', 'CDC') and "
      "tskind not in ('u', 't')");
  EXPECT_EQ(std::vector<std::string>{" USERS"}, data_lines(ts.out));
  Run_Result nodes = query("select NODE_ID,ADDRESS,STATUS from v_sys_ha_slave_info", {}, "10.9.8.7");
  ASSERT_EQ(0, nodes.status) << nodes.err;
  std::vector<std::string> rows = data_lines(nodes.out);
  ASSERT_EQ(2u, rows.size());
  EXPECT_TRUE(std::regex_match(rows[0], std::regex(" 1 +\\| 127\\.0\\.0\\.1 \\| master"))) << rows[0];
  EXPECT_NE(0, query("select NODE_ID from v_sys_ha_slave_info", {}, "10.0.0.1").status) << "unknown host";
}

TEST_F(SimIsql, QuotedLiteralsAndUnknownSchemas) {
  ASSERT_EQ(0, home_.admin("set", {"schemas.O'HARA=[{\"name\":\"T1\",\"type\":\"BASE TABLE\"}]"}).status);
  Run_Result r = query("select TABLE_SCHEM,TABLE_NAME,TABLE_TYPE from v_sys_tables where TABLE_SCHEM='O''HARA'");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1u, data_lines(r.out).size()) << r.out;
  Run_Result none = query("select TABLE_SCHEM,TABLE_NAME,TABLE_TYPE from v_sys_tables where TABLE_SCHEM='NOPE'");
  ASSERT_EQ(0, none.status);
  EXPECT_NE(std::string::npos, none.out.find("(0 rows)"));
}

TEST_F(SimIsql, ErrorsAreIsqlErrorLinesWithoutThePassword) {
  Run_Result wrong = home_.tool(
      "isql", {"-U" + home_.user() + "/Not-" + home_.password(), "-dORCL", "-p" + std::to_string(home_.port()), "-l"});
  EXPECT_NE(0, wrong.status);
  EXPECT_TRUE(std::regex_match(wrong.err, std::regex("isql: ERROR, .*\n"))) << wrong.err;
  EXPECT_EQ(std::string::npos, wrong.err.find(home_.password()));
  Run_Result bad_sql = query("select frobnicate from nowhere");
  EXPECT_NE(0, bad_sql.status);
  EXPECT_TRUE(std::regex_match(bad_sql.err, std::regex("isql: ERROR, .*\n"))) << bad_sql.err;
  ASSERT_EQ(0, home_.admin("stop").status);
  Run_Result down = query("select archivemode from v_sys_database_info");
  EXPECT_NE(0, down.status);
  EXPECT_TRUE(std::regex_match(down.err, std::regex("isql: ERROR, could not connect.*\n"))) << down.err;
}

TEST_F(SimIsql, CreateStatementsChangeTheCatalogue) {
  EXPECT_EQ(0, query("create schema if not exists NEWS").status);
  EXPECT_EQ(0, query("create schema if not exists NEWS").status);
  EXPECT_NE(0, query("create schema NEWS").status);
  EXPECT_NE(std::string::npos, query("select TABLE_SCHEM from v_sys_schemas").out.find(" NEWS\n"));
  std::string file = home_.root() + "/odbs/ORCL/EXTRA_20240305_060708.dbf";
  Run_Result r = query("create tablespace EXTRA datafile '" + file + "'");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(read_file(file).empty());
  Run_Result ts = query(
      "select tsname from sys_tablespace where tsname not in ('SYSTEM', 'AUDIT', 'CDC') and "
      "tskind not in ('u', 't')");
  EXPECT_EQ((std::vector<std::string>{" USERS", " EXTRA"}), data_lines(ts.out));
  EXPECT_NE(0, query("create tablespace EXTRA datafile '" + file + "'").status);
}

TEST_F(SimIsql, FaultsFailOnlyMatchingStatementsMalformRowsOrHang) {
  std::vector<std::string> fail = {"OSCAR_SIM_ISQL_FAULT=fail=archivemode"};
  Run_Result failed = query("select archivemode from v_sys_database_info", fail);
  EXPECT_NE(0, failed.status);
  EXPECT_EQ("isql: ERROR, simulated failure\n", failed.err);
  EXPECT_EQ(0, query("select TABLE_SCHEM from v_sys_schemas", fail).status);

  Run_Result bad = query("select archivemode from v_sys_database_info", {"OSCAR_SIM_ISQL_FAULT=malformed"});
  ASSERT_EQ(0, bad.status);
  ASSERT_EQ(1u, data_lines(bad.out).size());
  EXPECT_TRUE(std::regex_match(data_lines(bad.out)[0], std::regex(" ARCHIVELOG +\\| \\?"))) << bad.out;

  ASSERT_EQ(0, home_.admin("set", {"faults.isql=hang"}).status);
  auto start = std::chrono::steady_clock::now();
  Run_Result hung = query("select archivemode from v_sys_database_info", {}, "localhost", 700);
  EXPECT_TRUE(hung.timed_out);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(650));
  Run_Result refused = query("select archivemode from v_sys_database_info", {"OSCAR_SIM_ISQL_FAULT=refuse"});
  EXPECT_NE(0, refused.status) << "the environment wins over the state file";
  EXPECT_NE(std::string::npos, refused.err.find("authentication failed"));
}

}  // namespace
