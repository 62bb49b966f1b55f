// Round trips through the simulator's export and import tools, run as
// processes with the module's own command lines: what an export holds comes
// back, table by table, after the objects were dropped or changed.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

// The module's command lines, formatted exactly as it formats them.
const char* EXPORT_TABLE =
    "\"%s\" -U%s/%s -p%hu -d%s level=table file=%s mode=entirety ignore=false table=%s.%s view=false "
    "procedure=false sequence=false constraint=true trigger=true index=true";
const char* EXPORT_SCHEMA =
    "\"%s\" -U%s/%s -p%hu -d%s level=schema file=%s mode=entirety ignore=false schema=%s view=true sequence=true "
    "procedure=true constraint=true trigger=true index=true";
const char* EXPORT_DATABASE = "\"%s\" -U%s/%s -p%hu -d%s file=%s";
const char* IMPORT_TABLE =
    "\"%s\" -U%s/%s -p%hu -d%s file=%s level=table mode=entirety ignore=false table=%s.%s recreateschema=false "
    "view=false sequence=true  procedure=false recreateotherobject=false recreatetable=true constraint=true "
    "deletetabledata=true trigger=true index=true";
const char* IMPORT_SCHEMA =
    "\"%s\" -U%s/%s -p%hu -d%s file=%s level=schema mode=entirety ignore=false schema=%s recreateschema=true "
    "view=true sequence=true procedure=true recreateotherobject=true recreatetable=true constraint=false "
    "deletetabledata=true trigger=false index=false";
const char* IMPORT_DATABASE = "\"%s\" -U%s/%s -p%hu -d%s file=%s recreateSchema=true tablespace=true";
const char* CREATE_SCHEMA = "%s -hlocalhost -p %u -U%s/%s -d %s -c \"create schema if not exists %s\"";

template <typename... A>
std::string format(const char* fmt, A... args) {
  char buf[4096];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// Whether the tool was killed (SIGKILL), directly or below a shell.
bool killed(const Run_Result& r) { return r.signal == SIGKILL || r.status == 128 + SIGKILL; }

long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class SimOsrRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start()); }

  const char* user() const { return home_.user().c_str(); }
  const char* password() const { return home_.password().c_str(); }
  unsigned short port() const { return home_.port(); }
  std::string tool(const char* name) const { return home_.bin(name); }

  Run_Result sh(const std::string& line, const std::vector<std::string>& env = {}, int timeout_ms = 60000) {
    return run_program({"/bin/sh", "-c", line}, env, timeout_ms);
  }
  Run_Result export_table(const std::string& file, const char* schema, const char* table,
                          const std::vector<std::string>& env = {}) {
    return sh(
        format(EXPORT_TABLE, tool("osrexp").c_str(), user(), password(), port(), "ORCL", file.c_str(), schema, table),
        env);
  }
  Run_Result import_table(const std::string& file, const char* schema, const char* table,
                          const std::vector<std::string>& env = {}) {
    sh(format(CREATE_SCHEMA, tool("isql").c_str(), static_cast<unsigned>(port()), user(), password(), "ORCL", schema));
    return sh(
        format(IMPORT_TABLE, tool("osrimp").c_str(), user(), password(), port(), "ORCL", file.c_str(), schema, table),
        env);
  }
  // A plain osrimp run with the account options and the given words.
  Run_Result osrimp(const std::vector<std::string>& words, const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"-U" + home_.user() + "/" + home_.password(), "-p" + std::to_string(port()),
                                     "-dORCL"};
    args.insert(args.end(), words.begin(), words.end());
    return home_.tool("osrimp", args, env);
  }

  void create_table(const std::string& name, int rows, int row_bytes = 64) {
    Run_Result r =
        home_.admin("create-table", {name, "--rows", std::to_string(rows), "--row-bytes", std::to_string(row_bytes)});
    ASSERT_EQ(0, r.status) << r.err;
  }
  // The table's digest, or "missing: <error>" when the simulator refuses.
  std::string checksum(const std::string& table) {
    Run_Result r = home_.admin("table-checksum", {table});
    return r.status == 0 ? r.out : "missing: " + r.err;
  }
  std::string isql(const std::string& sql) {
    return home_
        .tool("isql",
              {"-U" + home_.user() + "/" + home_.password(), "-dORCL", "-p" + std::to_string(port()), "-c", sql})
        .out;
  }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
};

TEST_F(SimOsrRoundTrip, TableExportDropImportRestoresTheRows) {
  create_table("SALES.INVOICES", 500);
  std::string before = checksum("SALES.INVOICES");
  ASSERT_EQ(17u, before.size()) << before;
  std::string dump = tmp_ / "invoices.dmp";
  Run_Result r = export_table(dump, "SALES", "INVOICES");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_GT(file_size(dump), 500 * 64);

  ASSERT_EQ(0, home_.admin("drop", {"SALES.INVOICES"}).status);
  EXPECT_EQ(0u, checksum("SALES.INVOICES").find("missing: ")) << "a dropped table has no checksum";
  ASSERT_EQ(0, (r = import_table(dump, "SALES", "INVOICES")).status) << r.err;
  EXPECT_EQ(before, checksum("SALES.INVOICES"));

  // Into a schema that did not exist, under another name: the same rows.
  ASSERT_EQ(0, home_.admin("drop", {"SALES"}).status);
  ASSERT_EQ(0, (r = import_table(dump, "ARCHIVE", "OLD_INVOICES")).status) << r.err;
  EXPECT_EQ(before, checksum("ARCHIVE.OLD_INVOICES"));
  EXPECT_NE(std::string::npos,
            isql("select TABLE_NAME from v_sys_tables where TABLE_SCHEM='ARCHIVE'").find("OLD_INVOICES"));
}

TEST_F(SimOsrRoundTrip, ImportWordsDecideWhetherRowsAreReplacedOrAppended) {
  create_table("APP.LEDGER", 300);
  std::string dumped = checksum("APP.LEDGER");
  std::string dump = tmp_ / "ledger.dmp";
  ASSERT_EQ(0, export_table(dump, "APP", "LEDGER").status);
  ASSERT_EQ(0, home_.admin("change-table", {"APP.LEDGER", "--rows", "250"}).status);
  std::string changed = checksum("APP.LEDGER");
  ASSERT_NE(dumped, changed) << "a change gives the table other rows";

  // The module's table import (recreatetable and deletetabledata) restores the dumped rows.
  Run_Result r = import_table(dump, "APP", "LEDGER");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(dumped, checksum("APP.LEDGER"));

  // deletetabledata alone empties the table before loading.
  ASSERT_EQ(0, home_.admin("change-table", {"APP.LEDGER"}).status);
  ASSERT_EQ(0, osrimp({"file=" + dump, "level=table", "table=APP.LEDGER", "deletetabledata=true"}).status);
  EXPECT_EQ(dumped, checksum("APP.LEDGER"));

  // Neither word: the dumped rows are appended to what is there.
  ASSERT_EQ(0, osrimp({"file=" + dump, "level=table", "table=APP.LEDGER", "recreatetable=false"}).status);
  EXPECT_NE(dumped, checksum("APP.LEDGER"));
  EXPECT_NE(std::string::npos, read_file(home_.root() + "/admin/oscar-sim.json").find("\"rows\": 600"));

  // Rows of another width fit only a re-created table.
  ASSERT_EQ(0, home_.admin("drop", {"APP.LEDGER"}).status);
  create_table("APP.LEDGER", 10, 40);
  r = osrimp({"file=" + dump, "level=table", "table=APP.LEDGER", "deletetabledata=true"});
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("do not fit")) << r.err;
  ASSERT_EQ(0, osrimp({"file=" + dump, "level=table", "table=APP.LEDGER", "recreatetable=TRUE"}).status);
  EXPECT_EQ(dumped, checksum("APP.LEDGER"));
}

TEST_F(SimOsrRoundTrip, SchemaExportReplacesTheWholeSchemaOnImport) {
  create_table("SALES.ORDERS", 120);
  create_table("SALES.ITEMS", 80, 200);
  std::string orders = checksum("SALES.ORDERS"), items = checksum("SALES.ITEMS");
  std::string dump = tmp_ / "sales.dmp";
  Run_Result r =
      sh(format(EXPORT_SCHEMA, tool("osrexp").c_str(), user(), password(), port(), "ORCL", dump.c_str(), "SALES"));
  ASSERT_EQ(0, r.status) << r.err;

  ASSERT_EQ(0, home_.admin("drop", {"SALES"}).status);
  std::string import_line =
      format(IMPORT_SCHEMA, tool("osrimp").c_str(), user(), password(), port(), "ORCL", dump.c_str(), "SALES");
  ASSERT_EQ(0, (r = sh(import_line)).status) << r.err;
  EXPECT_EQ(orders, checksum("SALES.ORDERS"));
  EXPECT_EQ(items, checksum("SALES.ITEMS"));

  // recreateschema=true: a table made after the export is gone again.
  create_table("SALES.LATER", 5);
  ASSERT_EQ(0, home_.admin("change-table", {"SALES.ORDERS"}).status);
  ASSERT_EQ(0, sh(import_line).status);
  EXPECT_EQ(0u, checksum("SALES.LATER").find("missing: "));
  EXPECT_EQ(orders, checksum("SALES.ORDERS"));

  // Without it the schema keeps its other tables.
  create_table("SALES.LATER", 5);
  ASSERT_EQ(0, osrimp({"file=" + dump, "level=schema", "schema=SALES", "deletetabledata=true"}).status);
  EXPECT_EQ(17u, checksum("SALES.LATER").size());
  EXPECT_EQ(orders, checksum("SALES.ORDERS"));
}

TEST_F(SimOsrRoundTrip, DatabaseImportBringsBackSchemasAndUserTablespaces) {
  std::string datafile = home_.root() + "/odbs/ORCL/EXTRA01.dbf";
  ASSERT_NE(std::string::npos, isql("create tablespace EXTRA datafile '" + datafile + "'").find("CREATE TABLESPACE"));
  long long extra_size = file_size(datafile);
  ASSERT_GT(extra_size, 0);
  create_table("SALES.ORDERS", 50);
  std::string orders = checksum("SALES.ORDERS"), customers = checksum("APP.CUSTOMERS");
  std::string dump = tmp_ / "db.dmp";
  Run_Result r = sh(format(EXPORT_DATABASE, tool("osrexp").c_str(), user(), password(), port(), "ORCL", dump.c_str()));
  ASSERT_EQ(0, r.status) << r.err;
  std::string text = read_file(dump);
  EXPECT_NE(std::string::npos, text.find("{\"schema\":\"HR\"}"));
  EXPECT_EQ(std::string::npos, text.find("{\"schema\":\"SYSDBA\"}")) << "system schemas are not exported";

  ASSERT_EQ(0, home_.admin("drop-tablespace", {"EXTRA"}).status);
  EXPECT_EQ(-1, file_size(datafile));
  EXPECT_NE(0, home_.admin("drop-tablespace", {"SYSTEM"}).status) << "only user tablespaces can be dropped";
  ASSERT_EQ(0, home_.admin("drop", {"SALES"}).status);
  ASSERT_EQ(0, home_.admin("change-table", {"APP.CUSTOMERS", "--rows", "7"}).status);

  // Without tablespace=true the tablespace stays away.
  ASSERT_EQ(0, osrimp({"file=" + dump, "recreateSchema=true"}).status);
  EXPECT_EQ(-1, file_size(datafile));
  EXPECT_EQ(orders, checksum("SALES.ORDERS"));

  ASSERT_EQ(0, home_.admin("change-table", {"APP.CUSTOMERS", "--rows", "7"}).status);
  r = sh(format(IMPORT_DATABASE, tool("osrimp").c_str(), user(), password(), port(), "ORCL", dump.c_str()));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(extra_size, file_size(datafile)) << "the data file is created again, as large as it was";
  EXPECT_NE(std::string::npos, isql("select TSKIND from sys_tablespace where TSNAME = 'EXTRA'").find("\n p\n"));
  EXPECT_EQ(orders, checksum("SALES.ORDERS"));
  EXPECT_EQ(customers, checksum("APP.CUSTOMERS"));
}

TEST_F(SimOsrRoundTrip, DamagedOrCutDumpsAreRefusedAndChangeNothing) {
  create_table("APP.NOTES", 40);
  std::string dump = tmp_ / "notes.dmp";
  ASSERT_EQ(0, export_table(dump, "APP", "NOTES").status);
  std::string dumped = checksum("APP.NOTES");
  ASSERT_EQ(0, home_.admin("change-table", {"APP.NOTES"}).status);
  std::string changed = checksum("APP.NOTES");
  std::string text = read_file(dump);

  std::string edited = text;
  size_t row = edited.find("\n000000000020|");
  ASSERT_NE(std::string::npos, row);
  edited[row + 40] = edited[row + 40] == 'a' ? 'b' : 'a';
  std::string bad = tmp_ / "edited.dmp";
  ASSERT_TRUE(write_file(bad, edited));
  Run_Result r = osrimp({"file=" + bad, "level=table", "table=APP.NOTES", "recreatetable=true"});
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("a row does not match its table")) << r.err;

  ASSERT_TRUE(write_file(bad, text.substr(0, text.size() / 2)));
  r = osrimp({"file=" + bad, "level=table", "table=APP.NOTES", "recreatetable=true"});
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("not a complete dump")) << r.err;

  ASSERT_TRUE(write_file(bad, text + "trailing\n"));
  EXPECT_NE(0, osrimp({"file=" + bad, "level=table", "table=APP.NOTES", "recreatetable=true"}).status);
  EXPECT_EQ(changed, checksum("APP.NOTES"));

  EXPECT_NE(0, osrimp({"file=" + dump, "level=table", "table=NOSUCH.NOTES"}).status) << "the schema must exist";
  ASSERT_EQ(0, osrimp({"file=" + dump, "level=table", "table=APP.OTHER"}).status)
      << "the only table of a dump may be imported under another name";
  EXPECT_EQ(dumped, checksum("APP.OTHER"));
}

TEST_F(SimOsrRoundTrip, ExportFaults) {
  create_table("APP.LOG", 2000);
  std::string dump = tmp_ / "log.dmp";
  ASSERT_EQ(0, export_table(dump, "APP", "LOG").status);
  long long whole = file_size(dump);
  std::string good = read_file(dump);

  std::string failed = tmp_ / "failed.dmp";
  Run_Result r = export_table(failed, "APP", "LOG", {"OSCAR_SIM_OSREXP_FAULT=fail"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(-1, file_size(failed));

  std::string kept = tmp_ / "kept.dmp";
  r = export_table(kept, "APP", "LOG", {"OSCAR_SIM_OSREXP_FAULT=fail-keep"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(good, read_file(kept)) << "the dump is whole although the tool failed";

  std::string cut = tmp_ / "cut.dmp";
  r = export_table(cut, "APP", "LOG", {"OSCAR_SIM_OSREXP_FAULT=die-mid-file"});
  EXPECT_TRUE(killed(r)) << r.status;
  EXPECT_EQ(whole / 2, file_size(cut)) << "half of the dump was written before the tool died";
  EXPECT_EQ(0u, good.find(read_file(cut)));
  r = export_table(cut, "APP", "LOG", {"OSCAR_SIM_OSREXP_FAULT=die-mid-file=100"});
  EXPECT_EQ(100, file_size(cut));
  EXPECT_NE(0, osrimp({"file=" + cut, "level=table", "table=APP.LOG"}).status);

  ASSERT_EQ(0, home_.admin("set", {"faults.osrexp=refuse"}).status);
  std::string refused = tmp_ / "refused.dmp";
  r = export_table(refused, "APP", "LOG");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("password authentication failed")) << r.err;
  EXPECT_EQ(std::string::npos, (r.out + r.err).find(home_.password()));
  EXPECT_EQ(-1, file_size(refused));

  ASSERT_EQ(0, home_.admin("set", {"faults.osrexp=hang"}).status);
  r = run_program({tool("osrexp"), "-U" + home_.user() + "/" + home_.password(), "-p" + std::to_string(port()),
                   "-dORCL", "file=" + refused},
                  {}, 700);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(-1, file_size(refused));
}

TEST_F(SimOsrRoundTrip, ImportFaults) {
  create_table("APP.LOG", 300);
  std::string dumped = checksum("APP.LOG");
  std::string dump = tmp_ / "log.dmp";
  ASSERT_EQ(0, export_table(dump, "APP", "LOG").status);
  ASSERT_EQ(0, home_.admin("change-table", {"APP.LOG"}).status);
  std::string changed = checksum("APP.LOG");

  Run_Result r = import_table(dump, "APP", "LOG", {"OSCAR_SIM_OSRIMP_FAULT=fail"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(changed, checksum("APP.LOG"));

  r = import_table(dump, "APP", "LOG", {"OSCAR_SIM_OSRIMP_FAULT=die-mid-file"});
  EXPECT_TRUE(killed(r)) << r.status;
  EXPECT_EQ(changed, checksum("APP.LOG")) << "an import that dies changes nothing";

  r = import_table(dump, "APP", "LOG", {"OSCAR_SIM_OSRIMP_FAULT=refuse"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(changed, checksum("APP.LOG"));

  r = import_table(dump, "APP", "LOG", {"OSCAR_SIM_OSRIMP_FAULT=fail-keep"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(dumped, checksum("APP.LOG")) << "the import was done before the tool failed";

  ASSERT_EQ(0, home_.admin("set", {"faults.osrimp=hang"}).status);
  ASSERT_EQ(0, home_.admin("change-table", {"APP.LOG"}).status);
  changed = checksum("APP.LOG");
  r = run_program({tool("osrimp"), "-U" + home_.user() + "/" + home_.password(), "-p" + std::to_string(port()),
                   "-dORCL", "file=" + dump, "level=table", "table=APP.LOG", "recreatetable=true"},
                  {}, 700);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(changed, checksum("APP.LOG"));
}

TEST_F(SimOsrRoundTrip, WideTablesMakeLargeDumpsOfExactSize) {
  create_table("BIG.FACTS", 4000, 2048);
  std::string before = checksum("BIG.FACTS");
  std::string dump = tmp_ / "facts.dmp";
  ASSERT_EQ(0, export_table(dump, "BIG", "FACTS").status);
  long long size = file_size(dump);
  EXPECT_GT(size, 4000LL * 2049);
  EXPECT_LT(size, 4000LL * 2049 + 4096) << "rows of fixed width, a few short lines around them";
  ASSERT_EQ(0, home_.admin("drop", {"BIG"}).status);
  ASSERT_EQ(0, import_table(dump, "BIG", "FACTS").status);
  EXPECT_EQ(before, checksum("BIG.FACTS"));
}

}  // namespace
