#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/fileset/mtf_backup.h"
#include "host/fileset/mtf_restore.h"
#include "host/storage/pool_info.h"
#include "tests/support/sample_data.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

bool exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

class Recording_Handler : public MTF::Event_Handler {
 public:
  explicit Recording_Handler(Progress_Report_Mode mode = PRM_FILE_SIZE) : Event_Handler(mode) {}
  int handle_progress(int progress, unsigned long total, unsigned long processed, unsigned long) override {
    percents.push_back(progress);
    last_total = total;
    last_processed = processed;
    return 0;
  }
  int notify_event(int event, const char* detail) override {
    events.emplace_back(event, detail);
    return 0;
  }
  bool canceling() override { return cancel; }
  std::vector<int> percents;
  std::vector<std::pair<int, std::string>> events;
  unsigned long last_total = 0, last_processed = 0;
  bool cancel = false;
};

// Writes a dump file in its pre-action, as the export does, and checks in
// its post-action that the restored file is there, as the import does.
class Dump_Action : public Action_Handler {
 public:
  Dump_Action(std::string dump, std::string data, bool fail) : dump_(dump), data_(data), fail_(fail) {}
  bool pre_action() override {
    calls.push_back("pre");
    return !fail_ && mkdir_p(dump_.substr(0, dump_.rfind('/'))) == 0 && write_file(dump_, data_);
  }
  bool post_action() override {
    calls.push_back("post");
    post_saw_file = read_file(dump_) == data_;
    return !fail_;
  }
  std::vector<std::string> calls;
  bool post_saw_file = false;

 private:
  std::string dump_, data_;
  bool fail_;
};

class FileSet : public ::testing::Test {
 protected:
  void SetUp() override {
    Pool_Info p;
    p.uuid = "pool-1";
    p.url = "file://" + (sandbox_ / "pool");
    ASSERT_TRUE(add_pool(p));
    src_ = sandbox_ / "spool/def-1";
    ASSERT_EQ(0, mkdir_p(src_ + "/inst_db1"));
    ASSERT_EQ(0, mkdir_p(src_ + "/inst_db2/empty"));
    big_ = mixed_sample(1500000, 9);
    ASSERT_TRUE(write_file(src_ + "/inst_db1/db1.dump", big_));
    ASSERT_TRUE(write_file(src_ + "/inst_db2/db2.dump", "second database"));
    ASSERT_EQ(0, ::symlink("db2.dump", (src_ + "/inst_db2/latest").c_str()));
  }

  void configure(MTF_Backup& b, unsigned seq = 0) {
    b.pool_uuid("pool-1");
    b.host_uuid("host-1");
    b.minor_resource_id("def-1");
    b.uuid("set-uuid");
    b.seq(seq);
    b.compression(MTF::COMPRESSION_ZSTD);
    b.compression_level(1);
    b.add_source(src_);
  }
  void configure(MTF_Restore& r, unsigned seq = 0) {
    r.pool_uuid("pool-1", true);
    r.definition_uuid("restore-def");
    r.backup_host_uuid("host-1");
    r.backup_minor_resource_id("def-1");
    r.seq(seq);
  }
  std::string set_dir() const { return sandbox_ / "pool/host-1/def-1"; }

  Test_Sandbox sandbox_;
  std::string src_, big_;
};

TEST_F(FileSet, BackupRunsPreActionStoresAndRestoresTheSelection) {
  Recording_Handler events;
  MTF::Metadata meta;
  MTF_Backup b(&events, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  const std::string made = src_ + "/inst_db3/db3.dump";
  Dump_Action* pre = new Dump_Action(made, "made by the pre-action", false);
  pre->ignore_pre_action_failure(false);
  b.action_handler(Action_Handler_var(pre));
  ASSERT_TRUE(b.backup()) << b.error();
  EXPECT_EQ((std::vector<std::string>{"pre", "post"}), pre->calls);
  const unsigned long long files_bytes = big_.size() + 15 + 22;
  EXPECT_EQ(files_bytes, b.size());
  EXPECT_GT(b.set_size(), files_bytes);
  EXPECT_LT(b.set_storage_size(), b.set_size());
  unsigned long long recorded = 0;
  ASSERT_TRUE(meta.get_backup_set_storage_size(recorded));
  EXPECT_EQ(b.set_storage_size(), recorded);
  ASSERT_FALSE(events.percents.empty());
  EXPECT_EQ(100, events.percents.back());
  EXPECT_TRUE(std::is_sorted(events.percents.begin(), events.percents.end()));
  EXPECT_EQ(files_bytes, events.last_total);
  EXPECT_EQ((std::vector<std::string>{"def-1_0_0.cat", "def-1_0_0.mtf"}), [&] {
    auto e = dir_entries(set_dir());
    std::sort(e.begin(), e.end());
    return e;
  }());

  ASSERT_EQ(0, rm_rf(sandbox_ / "spool"));
  Recording_Handler restore_events;
  MTF_Restore r(&restore_events, ACE_Log_Msg_Callback_var());
  configure(r);
  const json selection = json::array({{{"dir", src_ + "/inst_db1/"}}, {{"dir", src_ + "/inst_db3"}}});
  r.restore_select(&selection);
  Dump_Action* post = new Dump_Action(made, "made by the pre-action", false);
  post->ignore_post_action_failure(false);
  r.action_handler(Action_Handler_var(post));
  ASSERT_TRUE(r.restore()) << r.error();
  EXPECT_TRUE(post->post_saw_file);
  EXPECT_TRUE(read_file(src_ + "/inst_db1/db1.dump") == big_);
  EXPECT_FALSE(exists(src_ + "/inst_db2"));
  EXPECT_EQ(big_.size() + 22, r.size());
  EXPECT_EQ(b.set_size(), r.set_size());
  EXPECT_EQ(100, restore_events.percents.back());

  MTF_Restore all(nullptr, ACE_Log_Msg_Callback_var());
  configure(all);
  ASSERT_TRUE(all.restore()) << all.error();
  EXPECT_EQ("second database", read_file(src_ + "/inst_db2/db2.dump"));
  char target[64] = {0};
  ASSERT_GT(::readlink((src_ + "/inst_db2/latest").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ("db2.dump", target);
  EXPECT_TRUE(exists(src_ + "/inst_db2/empty"));
}

TEST_F(FileSet, FailedPreActionStoresNothingUnlessIgnored) {
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  Dump_Action* pre = new Dump_Action(src_ + "/x/y.dump", "x", true);
  pre->ignore_pre_action_failure(false);
  b.action_handler(Action_Handler_var(pre));
  EXPECT_FALSE(b.backup());
  EXPECT_NE(std::string::npos, b.error().find("pre-action")) << b.error();
  EXPECT_TRUE(dir_entries(set_dir()).empty());

  MTF_Backup ignoring(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(ignoring);
  Dump_Action* lenient = new Dump_Action(src_ + "/x/y.dump", "x", true);
  lenient->ignore_post_action_failure(false);
  ignoring.action_handler(Action_Handler_var(lenient));
  EXPECT_FALSE(ignoring.backup());
  EXPECT_NE(std::string::npos, ignoring.error().find("post-action")) << ignoring.error();
}

TEST_F(FileSet, ATakenSequenceNumberIsNeverOverwritten) {
  MTF::Metadata first_meta, second_meta;
  MTF_Backup first(nullptr, first_meta, ACE_Log_Msg_Callback_var());
  configure(first, 4);
  ASSERT_TRUE(first.backup()) << first.error();
  ASSERT_TRUE(write_file(src_ + "/inst_db2/db2.dump", "changed"));
  MTF_Backup second(nullptr, second_meta, ACE_Log_Msg_Callback_var());
  configure(second, 4);
  ASSERT_TRUE(second.backup()) << second.error();
  unsigned int seq = 0;
  ASSERT_TRUE(second_meta.get_seq(seq));
  EXPECT_EQ(5u, seq);
  EXPECT_EQ(5u, second.seq());

  ASSERT_EQ(0, rm_rf(sandbox_ / "spool"));
  MTF_Restore r(nullptr, ACE_Log_Msg_Callback_var());
  configure(r, 4);
  ASSERT_TRUE(r.restore()) << r.error();
  EXPECT_EQ("second database", read_file(src_ + "/inst_db2/db2.dump"));
}

TEST_F(FileSet, DamagedSetFailsTheRestore) {
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  ASSERT_TRUE(b.backup()) << b.error();
  const std::string data = set_dir() + "/def-1_0_0.mtf";
  std::string stored = read_file(data);
  stored[stored.size() / 2] ^= 0x40;
  ASSERT_TRUE(write_file(data, stored));
  MTF_Restore r(nullptr, ACE_Log_Msg_Callback_var());
  configure(r);
  EXPECT_FALSE(r.restore());
  EXPECT_NE(std::string::npos, r.error().find("corrupt")) << r.error();

  ASSERT_TRUE(write_file(data, read_file(data).substr(0, 1000)));
  MTF_Restore cut(nullptr, ACE_Log_Msg_Callback_var());
  configure(cut);
  EXPECT_FALSE(cut.restore());
}

TEST_F(FileSet, RestoreRefusesMissingSetsAndUselessSelections) {
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  ASSERT_TRUE(b.backup()) << b.error();
  MTF_Restore missing(nullptr, ACE_Log_Msg_Callback_var());
  configure(missing, 9);
  EXPECT_FALSE(missing.restore());
  const json nothing = json::array({{{"dir", ""}}});
  MTF_Restore empty(nullptr, ACE_Log_Msg_Callback_var());
  configure(empty);
  empty.restore_select(&nothing);
  EXPECT_FALSE(empty.restore());
  EXPECT_NE(std::string::npos, empty.error().find("matches nothing")) << empty.error();
  const json bad = json::array({"dir"});
  MTF_Restore malformed(nullptr, ACE_Log_Msg_Callback_var());
  configure(malformed);
  malformed.restore_select(&bad);
  EXPECT_FALSE(malformed.restore());
}

TEST_F(FileSet, CancelingStopsTheBackupAndLeavesNoSet) {
  Recording_Handler events;
  events.cancel = true;
  MTF::Metadata meta;
  MTF_Backup b(&events, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  EXPECT_FALSE(b.backup());
  EXPECT_NE(std::string::npos, b.error().find("canceled")) << b.error();
  EXPECT_TRUE(dir_entries(set_dir()).empty());
}

TEST_F(FileSet, FileCountModeReportsFiles) {
  Recording_Handler events(MTF::Event_Handler::PRM_FILE_COUNT);
  MTF::Metadata meta;
  MTF_Backup b(&events, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  ASSERT_TRUE(b.backup()) << b.error();
  // The directories, two dump files, the link and the empty directory.
  EXPECT_EQ(7u, events.last_total);
  EXPECT_EQ(7u, events.last_processed);
  EXPECT_EQ(7u, events.events.size());
}

TEST_F(FileSet, UnknownPoolAndIncompleteSettingsFail) {
  MTF::Metadata meta;
  MTF_Backup b(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(b);
  b.pool_uuid("pool-x");
  EXPECT_FALSE(b.backup());
  MTF_Backup inc(nullptr, meta, ACE_Log_Msg_Callback_var());
  configure(inc);
  inc.incremental(true);
  EXPECT_FALSE(inc.backup());
  MTF_Backup none(nullptr, meta, ACE_Log_Msg_Callback_var());
  EXPECT_FALSE(none.backup());
}

}  // namespace
