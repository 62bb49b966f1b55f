// The handlers through which the file-set writer and reader run the export
// and the import and report progress: progress into the activity record and
// onto the host's event queue, the action handlers' answers, and the
// writer's and reader's runs with the module's handlers against the
// simulator.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/fileset/mtf_backup.h"
#include "host/fileset/mtf_restore.h"
#include "host/jobs/job_event_manager.h"
#include "host/storage/pool_info.h"
#include "oscar/action_handlers.h"
#include "oscar/event_handlers.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

// The percentages of the queued progress events of definition id, oldest
// first; the queue is emptied.
std::vector<int> drain_progress(const std::string& id) {
  std::vector<int> out;
  for (const std::unique_ptr<Job_Event>& e : Job_Event_Manager::instance()->drain()) {
    if (e->kind() == Job_Event::PROGRESS && e->definition_id() == id)
      out.push_back(static_cast<const Job_Progress_Event&>(*e).progress());
  }
  return out;
}

TEST(ProgressEvents, EachNewPercentageIsRecordedAndPostedOnce) {
  Job_Event_Manager::instance()->drain();
  Job_Definition def;
  def.id("export-def");
  Job_Activity act;
  oscar::Backup_Event_Handler backup(&def, &act);
  EXPECT_EQ(MTF::Event_Handler::PRM_FILE_SIZE, backup.mode());
  EXPECT_EQ(1, backup.handle_progress(5, 100, 5, 1));
  EXPECT_EQ(0, backup.handle_progress(5, 100, 5, 1));
  EXPECT_EQ(0, backup.handle_progress(5, 100, 6, 1));
  EXPECT_EQ(2, backup.handle_progress(6, 100, 6, 1));
  EXPECT_EQ(6, act.progress.load());
  EXPECT_EQ((std::vector<int>{5, 6}), drain_progress("export-def"));

  def.id("import-def");
  act.progress = 40;
  oscar::Restore_Event_Handler restore(&def, &act);
  EXPECT_EQ(0, restore.handle_progress(40, 0, 0, 0));
  EXPECT_TRUE(drain_progress("import-def").empty());
  EXPECT_EQ(1, restore.handle_progress(100, 0, 0, 0));
  EXPECT_EQ(100, act.progress.load());
  EXPECT_EQ((std::vector<int>{100}), drain_progress("import-def"));
}

TEST(ProgressEvents, HandlerWithoutARecordFailsAndPostsNothing) {
  Job_Event_Manager::instance()->drain();
  Job_Definition def;
  def.id("orphan");
  Log_Capture log;
  oscar::Backup_Event_Handler no_activity(&def, nullptr);
  oscar::Restore_Event_Handler no_definition(nullptr, nullptr);
  EXPECT_EQ(-1, no_activity.handle_progress(5, 0, 0, 0));
  EXPECT_EQ(-1, no_definition.handle_progress(5, 0, 0, 0));
  EXPECT_TRUE(drain_progress("orphan").empty());
  EXPECT_NE(std::string::npos, log.all().find("act is NULL")) << log.all();
  EXPECT_NE(std::string::npos, log.all().find("def is NULL")) << log.all();
}

TEST(ActionHandlers, FailuresOfTheToolRunAreNeverIgnoredAndNullInputsFail) {
  Log_Capture log;
  Action_Handler_var export_handler = oscar::make_action_handler(static_cast<const Backup_Input*>(nullptr));
  ASSERT_TRUE(export_handler.get());
  EXPECT_FALSE(export_handler->ignore_pre_action_failure());
  EXPECT_FALSE(export_handler->pre_action());
  EXPECT_TRUE(export_handler->post_action());
  EXPECT_NE(std::string::npos, log.all().find("Unexpected error in")) << log.all();
  EXPECT_NE(std::string::npos, log.all().find("input_ is NULL")) << log.all();

  Action_Handler_var import_handler = oscar::make_action_handler(static_cast<const Restore_Input*>(nullptr));
  ASSERT_TRUE(import_handler.get());
  EXPECT_FALSE(import_handler->ignore_post_action_failure());
  EXPECT_TRUE(import_handler->pre_action());
  EXPECT_FALSE(import_handler->post_action());
}

// The writer and reader of the host with the module's handlers, exporting
// from and importing into a simulated instance.
class LogicalFileSet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.start());
    Pool_Info p;
    p.uuid = "pool-1";
    p.url = "file://" + (sandbox_ / "pool");
    ASSERT_TRUE(add_pool(p));
    spool_ = sandbox_ / "spool/def-1";
    ASSERT_EQ(0, mkdir_p(spool_));
    def_.id("def-1");

    export_.oscar_home = home_.root();
    export_.instance = "ORCL";
    export_.username = home_.user();
    export_.password = home_.password().c_str();
    export_.files = {{"ORCL", "APP", "", spool_ + "/app.dmp"}, {"ORCL", "HR", "EMPLOYEES", spool_ + "/emp.dmp"}};

    import_.original_database = "ORCL";
    import_.restore_as_database = "ORCL";
    import_.restore_as_schema = "APP";
    import_.backup_file = spool_ + "/app.dmp";
    import_.oscar_home = home_.root();
    import_.username = home_.user();
    import_.password = home_.password().c_str();
  }
  void TearDown() override {
    ::unsetenv("OSCAR_SIM_OSREXP_FAULT");
    ::unsetenv("OSCAR_SIM_OSRIMP_FAULT");
  }

  void configure(MTF_Backup& b) {
    b.pool_uuid("pool-1");
    b.host_uuid("host-1");
    b.minor_resource_id("def-1");
    b.uuid("set-uuid");
    b.add_source(spool_);
  }
  void configure(MTF_Restore& r) {
    r.pool_uuid("pool-1", true);
    r.definition_uuid("restore-def");
    r.backup_host_uuid("host-1");
    r.backup_minor_resource_id("def-1");
  }
  std::string set_dir() const { return sandbox_ / "pool/host-1/def-1"; }

  Test_Sandbox sandbox_;
  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
  std::string spool_;
  Job_Definition def_;
  Backup_Input export_;
  Restore_Input import_;
};

TEST_F(LogicalFileSet, ExportRunsBeforeTheWriterReadsAndTheImportAfterTheFileIsBack) {
  Job_Event_Manager::instance()->drain();
  Job_Activity act;
  oscar::Backup_Event_Handler events(&def_, &act);
  MTF::Metadata meta;
  MTF_Backup b(&events, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  b.action_handler(oscar::make_action_handler(&export_));
  Log_Capture log;
  ASSERT_TRUE(b.backup()) << b.error() << log.all();
  EXPECT_EQ(100, act.progress.load());
  const std::vector<int> posted = drain_progress("def-1");
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(100, posted.back());
  // Both dumps were there for the writer to store.
  EXPECT_EQ(read_file(spool_ + "/app.dmp").size() + read_file(spool_ + "/emp.dmp").size(), b.size());
  EXPECT_GT(b.size(), 0u);

  const std::string dump = read_file(import_.backup_file);
  ASSERT_EQ(0, rm_rf(sandbox_ / "spool"));
  Job_Activity restore_act;
  oscar::Restore_Event_Handler restore_events(&def_, &restore_act);
  MTF_Restore r(&restore_events, ACE_Log_Msg_Callback_var());
  configure(r);
  r.action_handler(oscar::make_action_handler(&import_));
  ASSERT_TRUE(r.restore()) << r.error() << log.all();
  EXPECT_EQ(dump, read_file(import_.backup_file));
  EXPECT_EQ(100, restore_act.progress.load());
  EXPECT_NE(std::string::npos, log.all().find("osrimp\" -U" + home_.user() + "/*** -p")) << log.all();
  EXPECT_NE(std::string::npos, log.all().find("imported schema level into ORCL")) << log.all();
  EXPECT_EQ(std::string::npos, log.all().find(home_.password()));
}

TEST_F(LogicalFileSet, FailedExportStoresNoSetUnlessItsFailureIsIgnored) {
  ::setenv("OSCAR_SIM_OSREXP_FAULT", "fail", 1);
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  b.action_handler(oscar::make_action_handler(&export_));
  Log_Capture log;
  EXPECT_FALSE(b.backup());
  EXPECT_NE(std::string::npos, b.error().find("pre-action")) << b.error();
  EXPECT_TRUE(dir_entries(set_dir()).empty());

  MTF_Backup lenient(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(lenient);
  Action_Handler_var handler = oscar::make_action_handler(&export_);
  handler->ignore_pre_action_failure(true);
  lenient.action_handler(handler);
  EXPECT_TRUE(lenient.backup()) << lenient.error();
  EXPECT_EQ(0u, lenient.size());
  EXPECT_EQ(2u, dir_entries(set_dir()).size());
}

TEST_F(LogicalFileSet, FailedImportFailsTheReaderAfterTheFileIsWrittenBack) {
  Log_Capture log;
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  b.action_handler(oscar::make_action_handler(&export_));
  ASSERT_TRUE(b.backup()) << b.error();
  ASSERT_EQ(0, rm_rf(sandbox_ / "spool"));

  ::setenv("OSCAR_SIM_OSRIMP_FAULT", "fail", 1);
  MTF_Restore r(nullptr, ACE_Log_Msg_Callback_var());
  configure(r);
  r.action_handler(oscar::make_action_handler(&import_));
  EXPECT_FALSE(r.restore());
  EXPECT_NE(std::string::npos, r.error().find("post-action")) << r.error();
  EXPECT_FALSE(read_file(import_.backup_file).empty());
  EXPECT_NE(std::string::npos, log.all().find("osrimp ended with status 1")) << log.all();
}

}  // namespace
