// The export and import commands against the simulator: the command lines
// the tools receive (as logged, password masked), the dump files, the
// status of the tools, and names refused before any tool runs.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "oscar/utils.h"
#include "tests/support/log_capture.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const char* const COMMAND_PREFIX = "Oscar command:\n";

// The command lines run while log was capturing, in order.
std::vector<std::string> commands(const Log_Capture& log) {
  std::vector<std::string> out;
  for (const auto& r : log.records()) {
    if (r.text.rfind(COMMAND_PREFIX, 0) != 0) continue;
    std::string cmd = r.text.substr(std::string(COMMAND_PREFIX).size());
    if (!cmd.empty() && cmd.back() == '\n') cmd.pop_back();
    out.push_back(cmd);
  }
  return out;
}

bool has_error(const Log_Capture& log, const std::string& text) {
  for (const auto& r : log.records()) {
    if (r.priority == LM_ERROR && r.text.find(text) != std::string::npos) return true;
  }
  return false;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class ExportImport : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start()); }
  void TearDown() override {
    ::unsetenv("OSCAR_SIM_OSREXP_FAULT");
    ::unsetenv("OSCAR_SIM_OSRIMP_FAULT");
    ::unsetenv("OSCAR_SIM_ISQL_FAULT");
  }

  Backup_Input export_input(const std::vector<Backup_File>& files) const {
    Backup_Input in;
    in.oscar_home = home_.root();
    in.instance = "ORCL";
    in.username = home_.user();
    in.password = home_.password().c_str();
    in.files = files;
    return in;
  }
  Restore_Input import_input(const std::string& file, const std::string& schema, const std::string& table) const {
    Restore_Input in;
    in.original_database = "ORCL";
    in.restore_as_database = "ORCL";
    in.restore_as_schema = schema;
    in.restore_as_table = table;
    in.backup_file = file;
    in.oscar_home = home_.root();
    in.username = home_.user();
    in.password = home_.password().c_str();
    return in;
  }
  // The start of every command line of tool: path, masked login, port and
  // database.
  std::string head(const std::string& tool) const {
    return "\"" + home_.bin(tool) + "\" -U" + home_.user() + "/*** -p" + std::to_string(home_.port()) + " -dORCL";
  }
  // A dump of the whole database, made directly with the tool.
  std::string make_dump(const std::string& name) {
    const std::string path = tmp_ / name;
    Run_Result r = home_.tool("osrexp", {"-U" + home_.user() + "/" + home_.password(),
                                         "-p" + std::to_string(home_.port()), "-dORCL", "file=" + path});
    EXPECT_EQ(0, r.status) << r.err;
    return path;
  }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
};

TEST_F(ExportImport, ExportRunsEachLevelsCommandInOrderAndLeavesTheDumps) {
  const std::string db = tmp_ / "orcl.dmp", schema = tmp_ / "app.dmp", table = tmp_ / "emp.dmp";
  // A table without a schema is a database-level export.
  Backup_Input in =
      export_input({{"ORCL", "", "IGNORED", db}, {"ORCL", "APP", "", schema}, {"ORCL", "HR", "EMPLOYEES", table}});
  Log_Capture log;
  ASSERT_TRUE(backup(&in)) << log.all();
  const std::vector<std::string> expected = {
      head("osrexp") + " file=" + db,
      head("osrexp") + " level=schema file=" + schema +
          " mode=entirety ignore=false schema=APP view=true sequence=true procedure=true constraint=true trigger=true "
          "index=true",
      head("osrexp") + " level=table file=" + table +
          " mode=entirety ignore=false table=HR.EMPLOYEES view=false procedure=false sequence=false constraint=true "
          "trigger=true index=true"};
  EXPECT_EQ(expected, commands(log));
  EXPECT_TRUE(exists(db) && exists(schema) && exists(table));
  EXPECT_EQ(std::string::npos, log.all().find(home_.password()));
}

TEST_F(ExportImport, EmptyFileListAnswersTrueWithoutRunningOrLookingUpAnything) {
  Backup_Input in = export_input({});
  in.oscar_home = tmp_ / "no-such-home";
  Log_Capture log;
  EXPECT_TRUE(backup(&in));
  EXPECT_TRUE(log.records().empty()) << log.all();
}

TEST_F(ExportImport, NonZeroExportStatusFailsEvenWithADumpLeftAndStopsTheRun) {
  ::setenv("OSCAR_SIM_OSREXP_FAULT", "fail-keep", 1);
  const std::string first = tmp_ / "a.dmp", second = tmp_ / "b.dmp";
  Backup_Input in = export_input({{"ORCL", "APP", "", first}, {"ORCL", "HR", "", second}});
  Log_Capture log;
  EXPECT_FALSE(backup(&in));
  EXPECT_TRUE(exists(first));
  EXPECT_FALSE(exists(second));
  EXPECT_EQ(1u, commands(log).size());
  EXPECT_TRUE(has_error(log, "Export to '" + first + "' failed: osrexp ended with status 1.")) << log.all();
}

TEST_F(ExportImport, MissingDumpAfterAnExportFailsAndLaterFilesAreNotExported) {
  ::setenv("OSCAR_SIM_OSREXP_FAULT", "no-file", 1);
  const std::string first = tmp_ / "a.dmp";
  Backup_Input in = export_input({{"ORCL", "APP", "", first}, {"ORCL", "HR", "", tmp_ / "b.dmp"}});
  Log_Capture log;
  EXPECT_FALSE(backup(&in));
  EXPECT_EQ(1u, commands(log).size());
  EXPECT_TRUE(has_error(log, "Osr file does not exist, path: '" + first + "'.")) << log.all();
}

TEST_F(ExportImport, NullInputsAndUnreadablePortFailBeforeAnyTool) {
  Log_Capture log;
  EXPECT_FALSE(backup(nullptr));
  EXPECT_FALSE(restore(nullptr));
  EXPECT_NE(std::string::npos, log.all().find("input is NULL")) << log.all();

  // A configuration without a port line names no port.
  ASSERT_TRUE(write_file(home_.root() + "/admin/NOPORT.conf", "vip = 10.0.0.1\n"));
  Backup_Input out = export_input({{"NOPORT", "APP", "", tmp_ / "a.dmp"}});
  out.instance = "NOPORT";
  EXPECT_FALSE(backup(&out));
  Restore_Input in = import_input(tmp_ / "a.dmp", "APP", "");
  in.restore_as_database = "NOPORT";
  EXPECT_FALSE(restore(&in));
  EXPECT_TRUE(has_error(log, "Failed to get port."));
  EXPECT_TRUE(commands(log).empty());
}

TEST_F(ExportImport, BadNamesAreRefusedBeforeAnyToolRuns) {
  struct Case {
    const char* instance;
    const char* schema;
    const char* table;
    const char* file;
    const char* message;
  };
  const std::string ok_file = tmp_ / "x.dmp";
  const Case cases[] = {
      {"ORCL;rm", "APP", "", ok_file.c_str(), "Invalid database name \"ORCL;rm\""},
      {"", "APP", "", ok_file.c_str(), "Invalid database name \"\""},
      {"ORCL", "APP X", "", ok_file.c_str(), "Invalid schema name \"APP X\""},
      {"ORCL", "1APP", "", ok_file.c_str(), "Invalid schema name \"1APP\""},
      {"ORCL", "HR", "EMP\"; drop", ok_file.c_str(), "Invalid table name"},
      {"ORCL", "HR", "EMP.X", ok_file.c_str(), "Invalid table name \"EMP.X\""},
      {"ORCL", "APP", "", "/tmp/a b.dmp", "Invalid dump file path \"/tmp/a b.dmp\""},
      {"ORCL", "APP", "", "", "Invalid dump file path \"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Log_Capture log;
    // A good file first: nothing runs for it either.
    Backup_Input out = export_input({{"ORCL", "APP", "", tmp_ / "good.dmp"}, {c.instance, c.schema, c.table, c.file}});
    out.instance = c.instance;
    EXPECT_FALSE(backup(&out));
    Restore_Input in = import_input(c.file, c.schema, c.table);
    in.restore_as_database = c.instance;
    EXPECT_FALSE(restore(&in));
    EXPECT_TRUE(commands(log).empty()) << log.all();
    EXPECT_TRUE(has_error(log, c.message)) << log.all();
    EXPECT_FALSE(exists(tmp_ / "good.dmp"));
  }
}

TEST_F(ExportImport, DatabaseImportRecreatesSchemasAndTablespacesWithoutALevelWord) {
  const std::string dump = make_dump("orcl.dmp");
  Restore_Input in = import_input(dump, "", "IGNORED");
  in.port = 1;  // the port comes from the instance configuration
  Log_Capture log;
  ASSERT_TRUE(restore(&in)) << log.all();
  const std::vector<std::string> expected = {head("osrimp") + " file=" + dump + " recreateSchema=true tablespace=true"};
  EXPECT_EQ(expected, commands(log));
  EXPECT_EQ(std::string::npos, log.all().find(home_.password()));
}

TEST_F(ExportImport, SchemaImportRunsOneCommand) {
  const std::string dump = make_dump("orcl.dmp");
  Restore_Input in = import_input(dump, "APP", "");
  Log_Capture log;
  ASSERT_TRUE(restore(&in)) << log.all();
  const std::vector<std::string> expected = {
      head("osrimp") + " file=" + dump +
      " level=schema mode=entirety ignore=false schema=APP recreateschema=true view=true sequence=true procedure=true "
      "recreateotherobject=true recreatetable=true constraint=false deletetabledata=true trigger=false index=false"};
  EXPECT_EQ(expected, commands(log));
}

TEST_F(ExportImport, TableImportCreatesTheSchemaFirstThenImports) {
  const std::string dump = make_dump("orcl.dmp");
  Restore_Input in = import_input(dump, "NEWHR", "EMPLOYEES");
  Log_Capture log;
  ASSERT_TRUE(restore(&in)) << log.all();
  const std::vector<std::string> expected = {
      home_.bin("isql") + " -hlocalhost -p " + std::to_string(home_.port()) + " -U" + home_.user() +
          "/*** -d ORCL -c \"create schema if not exists NEWHR\"",
      head("osrimp") + " file=" + dump +
          " level=table mode=entirety ignore=false table=NEWHR.EMPLOYEES recreateschema=false view=false "
          "sequence=true  procedure=false recreateotherobject=false recreatetable=true constraint=true "
          "deletetabledata=true trigger=true index=true"};
  EXPECT_EQ(expected, commands(log));
  EXPECT_EQ(std::string::npos, log.all().find(home_.password()));
}

TEST_F(ExportImport, FailedSchemaCreationStillImportsAndTheImportDecides) {
  const std::string dump = make_dump("orcl.dmp");
  ::setenv("OSCAR_SIM_ISQL_FAULT", "refuse", 1);
  Restore_Input existing = import_input(dump, "HR", "EMPLOYEES");
  Restore_Input missing = import_input(dump, "NOSUCH", "EMPLOYEES");
  Log_Capture log;
  EXPECT_TRUE(restore(&existing)) << log.all();
  EXPECT_FALSE(restore(&missing));
  EXPECT_EQ(4u, commands(log).size());
  EXPECT_TRUE(has_error(log, "osrimp ended with status 1")) << log.all();
}

TEST_F(ExportImport, FailingImportToolAnswersFalse) {
  const std::string dump = make_dump("orcl.dmp");
  ::setenv("OSCAR_SIM_OSRIMP_FAULT", "fail", 1);
  Restore_Input in = import_input(dump, "APP", "");
  Log_Capture log;
  EXPECT_FALSE(restore(&in));
  EXPECT_EQ(1u, commands(log).size());
}

}  // namespace
