// Import restore jobs made by the job creator and run as the host runs
// them, against the simulated database under a throwaway root: export sets
// are made as the export makes them, the objects dropped, and the import
// must bring back the same rows, with nothing left in the dump spool.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "oscar/dump_spool.h"
#include "oscar/job_alert_codes.h"
#include "oscar/oscar_job_creator.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_source.h"
#include "tests/support/export_set.h"
#include "tests/support/module_threads.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"
#include "tollix/posix_time_format.h"

namespace {

const char PASSWORD[] = "Imp0rt-Pw77";

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Whether a process runs whose command line holds `needle`.
bool process_running(const std::string& needle) {
  for (const std::string& pid : dir_entries("/proc")) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_file("/proc/" + pid + "/cmdline");
    for (char& c : cmdline) {
      if (c == '\0') c = ' ';
    }
    if (cmdline.find(needle) != std::string::npos) return true;
  }
  return false;
}

// What the import writes into the restore job source.
struct Target {
  std::string database = "ORCL", schema, table;
};

class ImportJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.start({"--datafiles", "8"}));
    Instance_Manager::instance()->clear();
    Instance inst;
    inst.type = "oscar";
    inst.name = "ORCL";
    inst.options["oscar_home"] = sim_.root();
    Instance_Manager::instance()->add_instance(inst);
    Instance_Manager::instance()->set_account("oscar", "ORCL", "", "SYSDBA", secure_string(PASSWORD));
    Pool_Info pool;
    pool.uuid = "pool-1";
    pool.url = "file://" + box_.path() + "/pool";
    ASSERT_TRUE(add_pool(pool));
    spool_ = oscar::dump_spool_path();
  }

  void TearDown() override {
    EXPECT_TRUE(wait_for_module_threads());
    ::unsetenv("OSCAR_SIM_OSRIMP_FAULT");
    ::unsetenv("OSCAR_SIM_HANG_SECONDS");
    Instance_Manager::instance()->clear();
  }

  // An export set of the given sources, committed; its record.
  Oscar_Backup_Set export_set(const std::vector<Backup_File>& sources, unsigned int seq = 0, std::time_t start = 0) {
    Export_Set_Request request;
    request.oscar_home = sim_.root();
    request.instance = "ORCL";
    request.username = "SYSDBA";
    request.password = PASSWORD;
    request.sources = sources;
    request.seq = seq;
    request.start_time = start;
    Oscar_Backup_Set record;
    EXPECT_TRUE(make_export_set(request, record));
    return record;
  }

  // A restore definition of the record's file of the given level (the
  // first file with those names).
  Job_Definition_var import_def(const Oscar_Backup_Set& record, const std::string& file, const Target& target) {
    Job_Definition_var def(new Job_Definition());
    def->type(JOB_DEFINITION_RESTORE);
    def->subtype(JOB_DEFINITION_SUBTYPE_IMPORT);
    def->id("def-import");
    def->name("import");
    def->uid("7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f");
    oscar::Restore_Job_Source* src = new oscar::Restore_Job_Source();
    src->id("res-1");
    src->backup_host_id("host-1");
    src->backup_definition_id(record.definition_uuid());
    src->catalog_id(record.uuid());
    src->seq(record.seq());
    src->pool_uuid("pool-1");
    src->get_original().database = "ORCL";
    src->get_original().backup_file = file;
    src->get_restore_as().database = target.database;
    src->get_restore_as().schema = target.schema;
    src->get_restore_as().table = target.table;
    def->source(Job_Definition::Source_var(src));
    def->options(Job_Definition::Options_var(new oscar::Restore_Job_Options()));
    return def;
  }

  // A periodic import of the resource's newest database-level export.
  Job_Definition_var periodic_def() {
    Job_Definition_var def = import_def(Oscar_Backup_Set(), "", Target());
    def->periodic(true);
    source(def).pool_uuid("");
    return def;
  }

  static oscar::Restore_Job_Source& source(const Job_Definition_var& def) {
    return *static_cast<oscar::Restore_Job_Source*>(def->source());
  }

  // Runs the job to its end; its log must not hold the password, and the
  // spool must be as empty as the test left it (unless told otherwise).
  Job_var run(const Job_Definition_var& def, bool spool_empty = true) {
    Job_var job = oscar::Oscar_Job_Creator().create(def);
    EXPECT_NE(nullptr, job.get());
    if (job.get() == nullptr) return job;
    EXPECT_EQ(0, job->start());
    EXPECT_TRUE(job->wait_for_completion(ACE_Time_Value(120)));
    log_ = read_file(job->log_file_path());
    EXPECT_EQ(std::string::npos, log_.find(PASSWORD)) << log_;
    if (spool_empty) {
      EXPECT_TRUE(dir_entries(spool_).empty()) << "left in the spool: " << dir_entries(spool_).front();
    }
    return job;
  }

  static int last_alert(const Job_var& job) {
    const std::vector<Job_Alert> a = job->alerts();
    return a.empty() ? 0 : a.back().code;
  }

  std::string table_checksum(const std::string& table) {
    const Run_Result r = sim_.admin("table-checksum", {table});
    return r.status == 0 ? r.out : "missing " + table;
  }
  void sim_admin(const std::string& cmd, const std::vector<std::string>& args) {
    const Run_Result r = sim_.admin(cmd, args);
    ASSERT_EQ(0, r.status) << cmd << ": " << r.out << r.err;
  }

  // How many tool runs the job's log shows.
  std::size_t tool_runs() const {
    std::size_t n = 0;
    for (std::string::size_type at = log_.find("Oscar command:"); at != std::string::npos;
         at = log_.find("Oscar command:", at + 1)) {
      ++n;
    }
    return n;
  }

  // Rewrites the stored catalogue row of `uuid` in place, as a damaged or
  // foreign catalogue would hold it.
  void edit_row(const std::string& uuid, const std::function<void(nlohmann::json&)>& edit) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(Catalog_Operator::database_path().c_str(), &db));
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT record FROM backup_sets WHERE view = 'oscar' AND uuid = ?1", -1,
                                            &st, nullptr));
    sqlite3_bind_text(st, 1, uuid.c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    nlohmann::json row = nlohmann::json::parse(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    edit(row);
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "UPDATE backup_sets SET record = ?1 WHERE view = 'oscar' AND uuid = ?2",
                                            -1, &st, nullptr));
    const std::string text = row.dump();
    sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, uuid.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(SQLITE_DONE, sqlite3_step(st));
    sqlite3_finalize(st);
    sqlite3_close(db);
  }

  Test_Sandbox box_{0.05};
  Sim_Instance sim_{box_ / "home", "ORCL", "SYSDBA", PASSWORD};
  std::string spool_;
  std::string log_;
};

const Backup_File TABLE_APP_CUSTOMERS{"ORCL", "APP", "CUSTOMERS", ""};
const Backup_File SCHEMA_HR{"ORCL", "HR", "", ""};
const Backup_File DATABASE{"ORCL", "", "", ""};

TEST_F(ImportJobs, DroppedTableSchemaAndDatabaseComeBackWithTheirRows) {
  const std::string customers = table_checksum("APP.CUSTOMERS");
  const std::string orders = table_checksum("APP.ORDERS");
  const std::string employees = table_checksum("HR.EMPLOYEES");
  const Oscar_Backup_Set set = export_set({TABLE_APP_CUSTOMERS, SCHEMA_HR, DATABASE});
  ASSERT_EQ(3u, set.files().size());

  sim_admin("drop", {"APP.CUSTOMERS"});
  Target table;
  table.schema = "APP";
  table.table = "CUSTOMERS";
  Job_var job = run(import_def(set, set.files()[0].file, table));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(customers, table_checksum("APP.CUSTOMERS"));
  EXPECT_GT(job->activity().size, 0u);
  EXPECT_GT(job->activity().set_size, 0u);
  EXPECT_NE(std::string::npos, log_.find("osrimp\" -USYSDBA/*** -p")) << log_;

  sim_admin("drop", {"HR"});
  Target schema;
  schema.schema = "HR";
  job = run(import_def(set, set.files()[1].file, schema));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(employees, table_checksum("HR.EMPLOYEES"));

  sim_admin("drop", {"APP"});
  job = run(import_def(set, set.files()[2].file, Target()));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(customers, table_checksum("APP.CUSTOMERS"));
  EXPECT_EQ(orders, table_checksum("APP.ORDERS"));
}

TEST_F(ImportJobs, RestoreAsPutsTheRowsUnderOtherNames) {
  const std::string customers = table_checksum("APP.CUSTOMERS");
  const std::string employees = table_checksum("HR.EMPLOYEES");
  const Oscar_Backup_Set set = export_set({TABLE_APP_CUSTOMERS, SCHEMA_HR});

  Target table;
  table.schema = "ARCHIVE";
  table.table = "OLD_CUSTOMERS";
  Job_var job = run(import_def(set, set.files()[0].file, table));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(customers, table_checksum("ARCHIVE.OLD_CUSTOMERS"));

  Target schema;
  schema.schema = "HR_COPY";
  job = run(import_def(set, set.files()[1].file, schema));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(employees, table_checksum("HR_COPY.EMPLOYEES"));
  EXPECT_EQ(employees, table_checksum("HR.EMPLOYEES"));
}

TEST_F(ImportJobs, OnlyTheRecordedTablespacesTheInstanceLacksAreCreated) {
  const Oscar_Backup_Set set = export_set({SCHEMA_HR});
  ASSERT_EQ(nlohmann::json({"USERS", "USERS02", "USERS03"}), set.tablespaces());
  sim_admin("drop-tablespace", {"USERS03"});
  const std::string odbs = sim_.root() + "/odbs/ORCL";
  ASSERT_FALSE(exists(odbs + "/USERS03.dbf"));

  Target schema;
  schema.schema = "HR";
  Job_var job = run(import_def(set, set.files()[0].file, schema));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  const POSIX_Time_Format<16> stamp(job->activity().start_time, "%Y%m%d_%H%M%S");
  EXPECT_TRUE(exists(odbs + "/USERS03_" + std::string(stamp.c_str()) + ".dbf")) << log_;
  std::size_t creations = 0;
  for (const std::string& f : dir_entries(odbs)) {
    if (f.find('_') != std::string::npos) ++creations;
  }
  EXPECT_EQ(1u, creations);
  EXPECT_NE(std::string::npos, log_.find("create tablespace USERS03 datafile")) << log_;

  // All there now: a second import creates nothing.
  job = run(import_def(set, set.files()[0].file, schema));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(std::string::npos, log_.find("create tablespace")) << log_;
}

TEST_F(ImportJobs, PeriodicImportTakesTheNewestDatabaseLevelSet) {
  const std::time_t now = std::time(nullptr);
  const Oscar_Backup_Set older = export_set({DATABASE}, 0, now - 300);
  sim_admin("change-table", {"APP.CUSTOMERS"});
  const std::string wanted = table_checksum("APP.CUSTOMERS");
  const Oscar_Backup_Set newest = export_set({DATABASE}, 1, now - 200);
  sim_admin("change-table", {"APP.CUSTOMERS"});
  // Newer, but of one schema only: not a restore point of the database.
  export_set({SCHEMA_HR}, 2, now - 100);
  sim_admin("change-table", {"APP.CUSTOMERS"});
  ASSERT_NE(wanted, table_checksum("APP.CUSTOMERS"));

  const Job_Definition_var def = periodic_def();
  Job_var job = run(def);
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << log_;
  EXPECT_EQ(wanted, table_checksum("APP.CUSTOMERS"));
  EXPECT_EQ(newest.uuid(), source(def).catalog_id());
  EXPECT_EQ(1u, source(def).seq());
  EXPECT_EQ(newest.files()[0].file, source(def).get_original().backup_file);
  EXPECT_NE(older.uuid(), newest.uuid());
}

TEST_F(ImportJobs, DumpPathsOutsideTheSpoolAreNeitherReadNorRemoved) {
  const Oscar_Backup_Set set = export_set({SCHEMA_HR});
  const std::string file_name = set.files()[0].file.substr(set.files()[0].file.rfind('/') + 1);
  const std::string victim = box_ / "victim";
  ASSERT_EQ(0, mkdir_p(victim + "/ORCL_ORCL"));
  ASSERT_TRUE(write_file(victim + "/keep", "precious"));
  ASSERT_EQ(0, mkdir_p(spool_));

  struct Case {
    const char* what;
    std::string file;
  } cases[] = {
      {"outside", victim + "/ORCL_ORCL/" + file_name},
      {"climbing out", spool_ + "/def-export/../../victim/ORCL_ORCL/" + file_name},
      {"the spool itself", spool_ + "/ORCL_ORCL/" + file_name},
  };
  Target schema;
  schema.schema = "HR";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Job_var job = run(import_def(set, c.file, schema));
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_EQ(oscar::ALERT_EXPORT_RECORD, last_alert(job));
    EXPECT_NE(std::string::npos, log_.find("does not lie inside the dump spool")) << log_;
    EXPECT_EQ(0u, tool_runs()) << log_;
  }

  // A run directory in the spool that is a link to elsewhere.
  ASSERT_EQ(0, ::symlink(victim.c_str(), (spool_ + "/def-export").c_str()));
  Job_var job = run(import_def(set, spool_ + "/def-export/ORCL_ORCL/" + file_name, schema), false);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
  EXPECT_EQ(oscar::ALERT_EXPORT_RECORD, last_alert(job));
  EXPECT_EQ(0u, tool_runs()) << log_;
  EXPECT_EQ(std::vector<std::string>{"def-export"}, dir_entries(spool_));
  ASSERT_EQ(0, ::unlink((spool_ + "/def-export").c_str()));

  // The same from the catalogue of a periodic import.
  edit_row(set.uuid(), [&](nlohmann::json& row) {
    row["grade"] = "database";
    row["backup_files"][0]["file"] = victim + "/ORCL_ORCL/" + file_name;
  });
  job = run(periodic_def());
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
  EXPECT_EQ(oscar::ALERT_EXPORT_RECORD, last_alert(job));
  EXPECT_EQ(0u, tool_runs()) << log_;

  EXPECT_EQ("precious", read_file(victim + "/keep"));
  EXPECT_EQ(2u, dir_entries(victim).size());
  EXPECT_TRUE(dir_entries(victim + "/ORCL_ORCL").empty());
}

TEST_F(ImportJobs, NamesBreakingTheRuleAreRefusedBeforeAnyToolRuns) {
  const Oscar_Backup_Set set = export_set({TABLE_APP_CUSTOMERS});
  const std::string file = set.files()[0].file;
  struct Case {
    Target target;
    const char* message;
  } cases[] = {
      {{"ORCL -c", "APP", "CUSTOMERS"}, "Invalid database name"},
      {{"ORCL", "APP\";drop", "CUSTOMERS"}, "Invalid schema name"},
      {{"ORCL", "APP", "T $(id)"}, "Invalid table name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Job_var job = run(import_def(set, file, c.target));
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_EQ(oscar::ALERT_INVALID_NAME, last_alert(job));
    EXPECT_NE(std::string::npos, log_.find(c.message)) << log_;
    EXPECT_EQ(0u, tool_runs()) << log_;
  }

  // A recorded tablespace name goes into SQL: checked before isql runs.
  edit_row(set.uuid(), [](nlohmann::json& row) { row["tablespaces"] = {"USERS", "X datafile '/etc/passwd'"}; });
  Target table;
  table.schema = "APP";
  table.table = "CUSTOMERS";
  Job_var job = run(import_def(set, file, table));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
  EXPECT_EQ(oscar::ALERT_EXPORT_RECORD, last_alert(job));
  EXPECT_NE(std::string::npos, log_.find("Invalid tablespace name")) << log_;
  EXPECT_EQ(0u, tool_runs()) << log_;
}

TEST_F(ImportJobs, BadRecordsAndSettingsFailWithTheirAlerts) {
  const Oscar_Backup_Set set = export_set({SCHEMA_HR});
  const std::string file = set.files()[0].file;
  Target schema;
  schema.schema = "HR";

  struct Case {
    const char* what;
    std::function<void(Job_Definition_var&)> prepare;
    int alert;
    const char* message;
  } cases[] = {
      {"restore point not catalogued", [&](Job_Definition_var& def) { source(def).catalog_id("no-such-set"); }, 0, ""},
      {"no newest backup",
       [&](Job_Definition_var& def) {
         def = periodic_def();
         source(def).id("res-2");
       },
       oscar::ALERT_NO_LATEST_BACKUP, "Failed to get latest info from catalog"},
      {"unknown instance",
       [&](Job_Definition_var& def) {
         Instance_Manager::instance()->set_account("oscar", "OTHER", "", "SYSDBA", secure_string(PASSWORD));
         source(def).get_restore_as().database = "OTHER";
       },
       oscar::ALERT_NO_HOME, "Failed to get oscar_home."},
      {"unknown pool", [&](Job_Definition_var& def) { source(def).pool_uuid("pool-x"); }, oscar::ALERT_NO_POOL,
       "Failed to get pool info."},
      {"wrong password",
       [&](Job_Definition_var&) {
         Instance_Manager::instance()->set_account("oscar", "ORCL", "", "SYSDBA", secure_string("Wrong-pw1"));
       },
       oscar::ALERT_TABLESPACES, "Failed to get tablespace info."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Job_Definition_var def = import_def(set, file, schema);
    c.prepare(def);
    Job_var job = run(def);
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_EQ(c.alert, last_alert(job)) << log_;
    EXPECT_NE(std::string::npos, log_.find(c.message)) << log_;
    Instance_Manager::instance()->set_account("oscar", "ORCL", "", "SYSDBA", secure_string(PASSWORD));
  }

  // Rows the catalogue holds in a shape the export never writes.
  const std::pair<const char*, std::function<void(nlohmann::json&)>> damaged[] = {
      {"no tablespaces", [](nlohmann::json& row) { row.erase("tablespaces"); }},
      {"tablespaces not texts",
       [](nlohmann::json& row) {
         row["tablespaces"] = {1, 2};
       }},
  };
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.first);
    const Oscar_Backup_Set copy = export_set({SCHEMA_HR});
    edit_row(copy.uuid(), d.second);
    Job_var job = run(import_def(copy, copy.files()[0].file, schema));
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_EQ(oscar::ALERT_EXPORT_RECORD, last_alert(job)) << log_;
    EXPECT_NE(std::string::npos, log_.find("Invalid catalog, exception:")) << log_;
  }
  const Oscar_Backup_Set newest = export_set({DATABASE}, 7);
  const std::pair<const char*, std::function<void(nlohmann::json&)>> newest_damaged[] = {
      {"file not a text", [](nlohmann::json& row) { row["backup_files"][0]["file"] = 5; }},
      {"seq not a number", [](nlohmann::json& row) { row["seq"] = "7"; }},
  };
  for (const auto& d : newest_damaged) {
    SCOPED_TRACE(d.first);
    edit_row(newest.uuid(), d.second);
    Job_var job = run(periodic_def());
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_EQ(oscar::ALERT_NO_LATEST_BACKUP, last_alert(job)) << log_;
    EXPECT_NE(std::string::npos, log_.find("Invalid catalog data:")) << log_;
  }
}

TEST_F(ImportJobs, AMissingDumpOrAFailingImportFailsTheJobAndEmptiesTheSpool) {
  const std::string employees = table_checksum("HR.EMPLOYEES");
  const Oscar_Backup_Set set = export_set({SCHEMA_HR});
  Target schema;
  schema.schema = "HR";
  sim_admin("change-table", {"HR.EMPLOYEES"});
  const std::string changed = table_checksum("HR.EMPLOYEES");

  for (const char* fault : {"fail", "die-mid-file", "refuse"}) {
    SCOPED_TRACE(fault);
    ::setenv("OSCAR_SIM_OSRIMP_FAULT", fault, 1);
    Job_var job = run(import_def(set, set.files()[0].file, schema));
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
    EXPECT_NE(std::string::npos, log_.find("osrimp")) << log_;
    EXPECT_EQ(changed, table_checksum("HR.EMPLOYEES"));
  }
  ::unsetenv("OSCAR_SIM_OSRIMP_FAULT");

  // A dump file the set does not hold: nothing to import.
  const std::string dir = set.files()[0].file.substr(0, set.files()[0].file.rfind('/'));
  Job_var job = run(import_def(set, dir + "/ORCL.HR_export_none_0.dump", schema));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;

  // The set's files gone from storage.
  ASSERT_EQ(0, rm_rf(box_ / "pool/host-1"));
  job = run(import_def(set, set.files()[0].file, schema));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << log_;
  EXPECT_EQ(changed, table_checksum("HR.EMPLOYEES"));
  EXPECT_NE(employees, changed);
}

TEST_F(ImportJobs, AnAbortEndsTheRunningImportAndEmptiesTheSpool) {
  const Oscar_Backup_Set set = export_set({SCHEMA_HR});
  Target schema;
  schema.schema = "HR";
  ::setenv("OSCAR_SIM_OSRIMP_FAULT", "hang", 1);
  ::setenv("OSCAR_SIM_HANG_SECONDS", "100", 1);
  Job_var job = oscar::Oscar_Job_Creator().create(import_def(set, set.files()[0].file, schema));
  ASSERT_NE(nullptr, job.get());
  ASSERT_EQ(0, job->start());
  // Aborted while osrimp hangs on the dump it was given.
  const std::string dump = set.files()[0].file;
  const std::string needle = "osrimp -USYSDBA/" + std::string(PASSWORD) + " -p" + std::to_string(sim_.port());
  for (int i = 0; i < 3000 && !process_running(needle); ++i) ::usleep(10000);
  ASSERT_TRUE(process_running(needle));
  ASSERT_TRUE(exists(dump));
  EXPECT_EQ(0, job->abort());
  ASSERT_TRUE(job->wait_for_completion(ACE_Time_Value(120)));
  EXPECT_EQ(JOB_STATE_CANCELED, job->activity().state.load());
  EXPECT_FALSE(process_running(needle));
  EXPECT_TRUE(dir_entries(spool_).empty());
  EXPECT_EQ(std::string::npos, read_file(job->log_file_path()).find("imported")) << read_file(job->log_file_path());
}

}  // namespace
