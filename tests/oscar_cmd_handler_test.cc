// The command layer against the simulator and small scripts: the child's
// environment, the command line as run and as logged, error texts, and the
// isql query handler's parsing and catalogue queries.

#include "oscar/oscar_cmd_handler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "oscar/oscar_catalog.h"
#include "oscar/oscar_query_handler.h"
#include "tests/support/log_capture.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

bool has_record(const Log_Capture& log, ACE_Log_Priority p, const std::string& text) {
  for (const auto& r : log.records()) {
    if (r.priority == p && r.text.find(text) != std::string::npos) return true;
  }
  return false;
}

class CommandLayer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start({"--vip", "10.9.8.7"})); }
  const char* home() const { return home_.root().c_str(); }
  std::string isql_login(const std::string& password) const {
    return "\"" + home_.bin("isql") + "\" -U" + home_.user() + "/" + password + " -dORCL -p" +
           std::to_string(home_.port()) + " -l";
  }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
};

TEST_F(CommandLayer, ChildSeesDatabaseEnvironmentOnTopOfTheAgents) {
  ::setenv("OSCAR_TEST_INHERITED", "kept", 1);
  Log_Capture log;
  ASSERT_EQ(0, execute_oscar_cmd(home(), "/usr/bin/env", false, true, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_INFO, "SZ_OSCAR_HOME=" + home_.root()));
  EXPECT_TRUE(has_record(log, LM_INFO, "LC_ALL=en_US.UTF8"));
  EXPECT_TRUE(has_record(log, LM_INFO, "LANG=en_US.UTF8"));
  EXPECT_TRUE(has_record(log, LM_INFO, "OSCAR_TEST_INHERITED=kept"));
  bool lib_path = false;
  for (const auto& r : log.records()) {
    if (r.text.rfind("LD_LIBRARY_PATH=", 0) == 0 && r.text.find(home_.root() + "/bin") != std::string::npos) {
      lib_path = true;
    }
  }
  EXPECT_TRUE(lib_path) << log.all();
}

TEST_F(CommandLayer, PercentSignReachesTheChildUnchanged) {
  Log_Capture log;
  ASSERT_EQ(0, execute_oscar_cmd(home(), "/bin/echo 100%d%s%%", false, true, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_INFO, "100%d%s%%\n")) << log.all();
}

TEST_F(CommandLayer, EmptyArgumentsFailWithoutStartingAnything) {
  Log_Capture log;
  EXPECT_EQ(-1, execute_oscar_cmd(home(), "", false, false, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_EMERGENCY, "cmd is NULL or \"\""));
  EXPECT_EQ(-1, execute_oscar_cmd(nullptr, "/bin/true", false, false, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_EMERGENCY, "oscar_home is NULL or \"\""));
  EXPECT_FALSE(has_record(log, LM_INFO, "Oscar command:"));
}

TEST_F(CommandLayer, RefusedLoginGivesIsqlErrorTextAndMasksThePassword) {
  const std::string wrong = "Wr0ng-Pass";
  std::string error = "untouched";
  Log_Capture log;
  EXPECT_NE(0, execute_oscar_cmd(home(), isql_login(wrong).c_str(), false, false, nullptr, &error));
  EXPECT_EQ("Error, password authentication failed for user \"SYSDBA\".", error);
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed info: isql: ERROR, password authentication failed"));
  EXPECT_TRUE(has_record(
      log, LM_INFO,
      "Oscar command:\n\"" + home_.bin("isql") + "\" -USYSDBA/*** -dORCL -p" + std::to_string(home_.port()) + " -l\n"))
      << log.all();
  EXPECT_EQ(std::string::npos, log.all().find(wrong));

  error = "untouched";
  EXPECT_EQ(0, execute_oscar_cmd(home(), isql_login(home_.password()).c_str(), false, false, nullptr, &error));
  EXPECT_EQ("untouched", error);
  EXPECT_EQ(std::string::npos, log.all().find(home_.password()));
}

TEST_F(CommandLayer, ErrorLineTrimsTheMessageAndOtherLinesLeaveTheText) {
  std::string script = tmp_ / "errs.sh";
  ASSERT_TRUE(write_file(script,
                         "#!/bin/sh\necho 'warming up' >&2\necho 'isql: ERROR, first' >&2\n"
                         "echo 'isql: ERROR, disk full   ' >&2\necho 'trailing note' >&2\nexit 3\n"));
  ASSERT_EQ(0, ::chmod(script.c_str(), 0755));
  std::string error;
  Log_Capture log;
  EXPECT_EQ(3, execute_oscar_cmd(home(), script.c_str(), false, false, nullptr, &error));
  EXPECT_EQ("Error, disk full.", error);
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed info: warming up\n"));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed info: trailing note\n"));

  // With the output logged, error lines go to the log and no text is taken.
  error.clear();
  EXPECT_EQ(3, execute_oscar_cmd(home(), script.c_str(), false, true, nullptr, &error));
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(has_record(log, LM_ERROR, "isql: ERROR, disk full"));
}

TEST(CommandMasking, IsqlAndBrcmdFormsHideOnlyThePassword) {
  EXPECT_EQ("isql -USYSDBA/*** -hlocalhost -dORCL -p2003 -c \"select 1\"",
            mask_command("isql -USYSDBA/pw -hlocalhost -dORCL -p2003 -c \"select 1\"", false));
  EXPECT_EQ("isql -Uu/*** -d X", mask_command("isql -Uu/pa/ss -d X", false));
  EXPECT_EQ("brcmd -u SYSDBA -p*** -d ORCL", mask_command("brcmd -u SYSDBA -p secret -d ORCL", true));
  EXPECT_EQ("brcmd -psecret", mask_command("brcmd -psecret", true));
  // "-U" or "-p " inside a path is not an option: the path stays readable.
  EXPECT_EQ("\"/tmp/t-Uab/bin/osrexp\" -Uu/*** -p5 -dX file=/tmp/t-Uab/x.dmp",
            mask_command("\"/tmp/t-Uab/bin/osrexp\" -Uu/pw -p5 -dX file=/tmp/t-Uab/x.dmp", false));
  EXPECT_EQ("/h/a-p b/brcmd -p*** -d X", mask_command("/h/a-p b/brcmd -p pw -d X", true));
}

TEST(CommandMasking, KnownPasswordIsHiddenWholeWhateverItHolds) {
  const char* password = "Open Sesame1 k=v TailSecret";
  const std::string isql = std::string("\"/h/bin/osrexp\" -Usysdba/") + password + " -p5 -dX file=/d/x.dmp";
  const std::string brcmd = std::string("/h/bin/brcmd -O backup -u sysdba -p ") + password + " -P 5 -t full";
  const std::string masked_isql = mask_command(isql.c_str(), false, password);
  const std::string masked_brcmd = mask_command(brcmd.c_str(), true, password);
  EXPECT_EQ("\"/h/bin/osrexp\" -Usysdba/*** -p5 -dX file=/d/x.dmp", masked_isql);
  EXPECT_EQ("/h/bin/brcmd -O backup -u sysdba -p*** -P 5 -t full", masked_brcmd);
  for (const char* part : {"Open", "Sesame1", "k=v", "TailSecret"}) {
    EXPECT_EQ(std::string::npos, masked_isql.find(part)) << part;
    EXPECT_EQ(std::string::npos, masked_brcmd.find(part)) << part;
  }
}

TEST_F(CommandLayer, RunWithKnownPasswordLogsNoPartOfIt) {
  Log_Capture log;
  const char* password = "pw x=y Tail9";
  const std::string cmd = std::string("/bin/true -Uu/") + password + " -dX";
  ASSERT_EQ(0, oscar::execute_tool_cmd(home(), cmd.c_str(), password, false, true, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_INFO, "Oscar command:\n/bin/true -Uu/*** -dX\n")) << log.all();
  EXPECT_EQ(std::string::npos, log.all().find("Tail9"));
}

TEST_F(CommandLayer, SpawnedBrcmdFormIsMaskedAndCanBeWaitedFor) {
  Log_Capture log;
  Execute_Cmd_Line_Handler handler(nullptr, true);
  ASSERT_EQ(0, execute_oscar_brcmd_spawn(home(), "/bin/echo -p TopSecret9 done", nullptr, handler));
  EXPECT_EQ(0, handler.wait());
  EXPECT_TRUE(has_record(log, LM_INFO, "Oscar command:\n/bin/echo -p*** done\n")) << log.all();
  EXPECT_EQ(-1, execute_oscar_brcmd_spawn(home(), nullptr, nullptr, handler));
}

TEST_F(CommandLayer, LongCommandRunsWholeOrNotAtAll) {
  std::string arg(3000, 'x');
  Log_Capture log;
  ASSERT_EQ(0, execute_oscar_cmd(home(), ("/bin/echo " + arg + "END").c_str(), false, true, nullptr, nullptr));
  EXPECT_TRUE(has_record(log, LM_INFO, arg + "END\n"));
}

// Feeds lines to the parser as isql would print them.
class QueryParsing : public ::testing::Test {
 protected:
  int feed(const std::string& line) { return handler_.handle_stdout_line(line.data(), line.size()); }
  std::ostringstream output_;
  Result_type rows_;
  Oscar_Query_Handler::Isql_Query_Line_Handler handler_{output_, rows_};
};

TEST_F(QueryParsing, SkipsHeadingSeparatorCountAndBlankLines) {
  for (const char* l : {" A | B", "---+---", " 1 | x", "   ", " 2 | y", " 3 | z", "(3 rows)"}) feed(l);
  ASSERT_EQ(3u, rows_.size());
  EXPECT_EQ((std::vector<std::string>{"1 ", " x"}), rows_[0]);
  EXPECT_EQ((std::vector<std::string>{"3 ", " z"}), rows_[2]);
  EXPECT_NE(std::string::npos, output_.str().find("(3 rows)\n"));
}

TEST_F(QueryParsing, IndentedCountIsARowAndAdjacentSeparatorsCountOnce) {
  handler_.headers(0);
  feed("  (1 row)");
  feed("a||b");
  ASSERT_EQ(2u, rows_.size());
  EXPECT_EQ((std::vector<std::string>{"(1 row)"}), rows_[0]);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), rows_[1]);
  Log_Capture log;
  EXPECT_EQ(-1, feed(""));
  EXPECT_TRUE(has_record(log, LM_EMERGENCY, "line is NULL or \"\""));
}

TEST_F(CommandLayer, QueryHandlerKeepsRowsOfLastQueryAndOutputOfAll) {
  Oscar_Query_Handler q(home_.root(), "ORCL", home_.user(), home_.password().c_str(), home_.port(), "localhost");
  ASSERT_TRUE(q.select("select TABLE_SCHEM,TABLE_NAME,TABLE_TYPE from v_sys_tables where TABLE_SCHEM='APP'"));
  ASSERT_EQ(3u, q.result().size());
  ASSERT_EQ(3u, q.result()[0].size());
  ASSERT_TRUE(q.select("select archivemode from v_sys_database_info"));
  ASSERT_EQ(1u, q.result().size());
  EXPECT_NE(std::string::npos, q.output().find("CUSTOMERS"));
  EXPECT_NE(std::string::npos, q.output().find("ARCHIVELOG"));

  Log_Capture log;
  Oscar_Query_Handler nopass(home_.root(), "ORCL", home_.user(), "", home_.port(), "localhost");
  EXPECT_FALSE(nopass.select("select archivemode from v_sys_database_info"));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Lack of connection parameter.\n"));
  Oscar_Query_Handler wrong(home_.root(), "ORCL", home_.user(), "nope", home_.port(), "localhost");
  EXPECT_FALSE(wrong.select("select archivemode from v_sys_database_info"));
}

TEST_F(CommandLayer, ResetPointsTheHandlerAtAnotherHome) {
  Sim_Instance other(tmp_ / "db2", "TEST2");
  ASSERT_TRUE(other.start());
  Oscar_Query_Handler q(home_.root(), "ORCL", home_.user(), home_.password().c_str(), home_.port(), "localhost");
  ASSERT_TRUE(q.reset(other.root(), "TEST2", other.user(), other.password().c_str(), other.port()));
  ASSERT_TRUE(q.select("select archivemode from v_sys_database_info"));
  EXPECT_EQ(1u, q.result().size());
}

TEST_F(CommandLayer, VersionQueriesGiveBuildTextOrWholeLine) {
  std::string v;
  ASSERT_TRUE(get_isql_version(home(), v, false));
  EXPECT_EQ("20240315-r4821", v);
  ASSERT_TRUE(get_version(home(), home_.port(), "ORCL", v, false));
  EXPECT_EQ("20240315-r4821", v);
  ASSERT_TRUE(get_version(home(), home_.port(), "ORCL", v, true));
  EXPECT_NE(std::string::npos, v.find("(build 20240315-r4821) for")) << v;
  EXPECT_FALSE(get_version(home(), home_.port(), "", v, false));
}

TEST_F(CommandLayer, LogModeFollowsTheDatabaseAndRejectsOddShapes) {
  bool archivelog = false;
  ASSERT_TRUE(get_log_mode(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), archivelog));
  EXPECT_TRUE(archivelog);
  ASSERT_EQ(0, home_.admin("set", {"archive_mode=NOARCHIVELOG"}).status);
  ASSERT_TRUE(get_log_mode(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), archivelog));
  EXPECT_FALSE(archivelog);
  Log_Capture log;
  EXPECT_FALSE(get_log_mode(home(), "ORCL", "SYSDBA", "bad", home_.port(), archivelog));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed to get log mode.\n"));
}

TEST_F(CommandLayer, SchemasLeaveOutSystemOnesCaseSensitively) {
  ASSERT_EQ(0, home_.admin("set", {"schemas.sysdba=[]"}).status);
  std::vector<std::string> schemas;
  ASSERT_TRUE(get_oscar_schemas(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), schemas));
  std::sort(schemas.begin(), schemas.end());
  EXPECT_EQ((std::vector<std::string>{"APP", "HR", "sysdba"}), schemas);
  EXPECT_TRUE(is_sys_schema("(null)\\ROOT"));
  EXPECT_FALSE(is_sys_schema("WMSYS "));
}

TEST_F(CommandLayer, TablesOfASchemaGivenInLowerCase) {
  std::vector<std::string> tables;
  ASSERT_TRUE(get_oscar_tables(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "app", tables));
  EXPECT_EQ((std::vector<std::string>{"CUSTOMERS", "ORDERS", "ORDER_ITEMS"}), tables);
}

TEST_F(CommandLayer, SchemaNamesAreQuotedOrRefused) {
  std::vector<std::string> tables;
  // A single quote is doubled: the query runs and finds no such schema.
  EXPECT_TRUE(
      get_oscar_tables(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "x' or '1'='1", tables));
  EXPECT_TRUE(tables.empty());
  Log_Capture log;
  EXPECT_FALSE(get_oscar_tables(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "a\"b", tables));
  EXPECT_FALSE(get_oscar_tables(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "a\nb", tables));
  EXPECT_EQ(2u, log.records().size()) << log.all();
  EXPECT_TRUE(tables.empty());
}

TEST_F(CommandLayer, UserTablespacesOnly) {
  std::vector<std::string> ts;
  ASSERT_TRUE(get_user_tablespaces(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), ts));
  ASSERT_EQ(1u, ts.size());
  EXPECT_NE(std::string::npos, ts[0].find("USERS"));
}

TEST_F(CommandLayer, ClusterRowsWithBadIdsAreSkipped) {
  ASSERT_EQ(0, home_
                   .admin("set", {"cluster_nodes=[{\"node_id\":2,\"address\":\"10.0.0.2\",\"status\":\"master\"},"
                                  "{\"node_id\":\"2x\",\"address\":\"a\",\"status\":\"s\"},"
                                  "{\"node_id\":0,\"address\":\"b\",\"status\":\"s\"},"
                                  "{\"node_id\":-3,\"address\":\"c\",\"status\":\"s\"},"
                                  "{\"node_id\":\"99999999999\",\"address\":\"d\",\"status\":\"s\"}]"})
                   .status);
  std::vector<Oscar_Node_Info> nodes;
  Log_Capture log;
  ASSERT_TRUE(
      get_cluster_nodes_info(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "10.9.8.7", nodes));
  ASSERT_EQ(1u, nodes.size());
  EXPECT_EQ(2, nodes[0].node_id);
  EXPECT_EQ("10.0.0.2", nodes[0].host);
  EXPECT_EQ("master", nodes[0].status);
  EXPECT_EQ("ORCL", nodes[0].instance);
  EXPECT_TRUE(has_record(log, LM_WARNING, "node id contains non-digit: 2x\n"));
  EXPECT_TRUE(has_record(log, LM_WARNING, "node id integer overflow: 0\n"));
  EXPECT_TRUE(has_record(log, LM_WARNING, "node id integer overflow: -3\n"));
  EXPECT_TRUE(has_record(log, LM_WARNING, "node id integer overflow: 99999999999\n"));
  // An address the server does not answer on fails the query.
  EXPECT_FALSE(
      get_cluster_nodes_info(home(), "ORCL", "SYSDBA", home_.password().c_str(), home_.port(), "10.1.1.1", nodes));
}

}  // namespace
