// The simulator's logical export and import tools.

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

class SimOsr : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start()); }

  std::vector<std::string> account() const {
    return {"-U" + home_.user() + "/" + home_.password(), "-p" + std::to_string(home_.port()), "-dORCL"};
  }

  Run_Result run(const std::string& tool, const std::vector<std::string>& words,
                 const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = account();
    args.insert(args.end(), words.begin(), words.end());
    return home_.tool(tool, args, env);
  }

  std::string tables_of(const std::string& schema) {
    return home_
        .tool("isql", {"-U" + home_.user() + "/" + home_.password(), "-dORCL", "-p" + std::to_string(home_.port()),
                       "-c", "select TABLE_NAME from v_sys_tables where TABLE_SCHEM='" + schema + "'"})
        .out;
  }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
};

TEST_F(SimOsr, SchemaExportImportsIntoAnotherSchema) {
  std::string dump = tmp_ / "app.dmp";
  Run_Result r = run("osrexp", {"level=schema", "file=" + dump, "mode=entirety", "schema=APP", "view=true"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, read_file(dump).find("CUSTOMERS"));
  ASSERT_EQ(0, (r = run("osrimp", {"file=" + dump, "level=schema", "schema=COPY", "recreateschema=true"})).status)
      << r.err;
  EXPECT_NE(std::string::npos, tables_of("COPY").find("ORDER_ITEMS"));
}

TEST_F(SimOsr, TableImportNeedsItsSchemaFirst) {
  std::string dump = tmp_ / "t.dmp";
  ASSERT_EQ(0, run("osrexp", {"level=table", "file=" + dump, "table=HR.EMPLOYEES"}).status);
  EXPECT_NE(0, run("osrimp", {"file=" + dump, "level=table", "table=NEWHR.EMPLOYEES"}).status);
  ASSERT_EQ(0, home_
                   .tool("isql", {"-hlocalhost", "-p", std::to_string(home_.port()),
                                  "-U" + home_.user() + "/" + home_.password(), "-d", "ORCL", "-c",
                                  "create schema if not exists NEWHR"})
                   .status);
  ASSERT_EQ(0, run("osrimp", {"file=" + dump, "level=table", "table=NEWHR.EMPLOYEES"}).status);
  EXPECT_NE(std::string::npos, tables_of("NEWHR").find("EMPLOYEES"));
}

TEST_F(SimOsr, ExportRefusesUnknownObjectsAndObeysFaults) {
  std::string dump = tmp_ / "x.dmp";
  Run_Result r = run("osrexp", {"level=schema", "file=" + dump, "schema=NOPE"});
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("osrexp: ERROR, ")) << r.err;
  EXPECT_TRUE(read_file(dump).empty());
  r = run("osrexp", {"file=" + dump}, {"OSCAR_SIM_OSREXP_FAULT=fail-keep"});
  EXPECT_NE(0, r.status);
  EXPECT_FALSE(read_file(dump).empty()) << "the dump stays although the tool failed";
  std::string none = tmp_ / "none.dmp";
  EXPECT_EQ(0, run("osrexp", {"file=" + none}, {"OSCAR_SIM_OSREXP_FAULT=no-file"}).status);
  EXPECT_TRUE(read_file(none).empty());
  EXPECT_NE(0, run("osrimp", {"file=" + tmp_ / "missing.dmp"}).status);
}

}  // namespace
