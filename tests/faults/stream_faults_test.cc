// Faults of the stream between the job and brcmd: a brcmd that stays alive
// but moves no byte through the fifo, and backup info larger than the
// transfer buffer. Each case asserts the job's result and alert and what was
// left behind (expect_clean).

#include <string>
#include <vector>

#include "tests/faults/fault_fixture.h"
#include "tests/support/test_paths.h"

namespace {

// A stalled brcmd that nobody ends would give up on its own after this, so
// a case that fails cannot leave it behind for long; expect_clean still
// sees it as left running.
const char HANG_LIMIT[] = "OSCAR_SIM_HANG_SECONDS=120";

std::vector<std::string> brcmd_fault(const std::string& faults) {
  return {"OSCAR_SIM_BRCMD_FAULT=" + faults, HANG_LIMIT};
}

TEST_F(FaultSuite, BackupBrcmdThatStopsWritingIsEndedAtTheStallLimit) {
  const Run_Result r = backup("full", {"--stall-timeout", "2"}, brcmd_fault("stall-after=300000"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 16)) << r.err;
  EXPECT_TRUE(contains(r.err, "job failed: ")) << r.err;
  EXPECT_TRUE(contains(r.err, "brcmd moved no data through fifo ")) << r.err;
  EXPECT_TRUE(contains(r.err, " for 2 seconds")) << r.err;
  // brcmd is gone, the partial set is removed and nothing is catalogued.
  expect_clean(0);
}

TEST_F(FaultSuite, RestoreBrcmdThatStopsReadingIsEndedAtTheStallLimit) {
  ASSERT_EQ(0, backup("full").status);
  // Beyond what the fifo holds, so the feed must wait for brcmd.
  const Run_Result r = restore("", {"--stall-timeout", "2"}, brcmd_fault("stall-read-after=200000"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 17)) << r.err;
  // The stall limit ended it, not brcmd giving up on its own.
  EXPECT_TRUE(contains(r.err, "brcmd moved no data through fifo ")) << r.err;
  // A failed restore leaves the instance stopped; no brcmd is left.
  expect_clean(1, false);
}

TEST_F(FaultSuite, SlowBrcmdWithinTheStallLimitCompletesTheBackup) {
  // A pause after every 64 KiB, far below the limit: slow, never stalled.
  const Run_Result r = backup("full", {"--stall-timeout", "5"}, brcmd_fault("slow=20"));
  EXPECT_EQ(0, r.status) << r.out << r.err;
  expect_clean(1);
}

// DB1 with several hundred data files: its backup info, one line per file,
// is far larger than the 8192-byte transfer buffer.
class ManyDataFiles : public FaultSuite {
 protected:
  ManyDataFiles() { init_options_ = {"--size", "1M", "--datafiles", "400"}; }
};

TEST_F(ManyDataFiles, LargeBackupInfoIsBackedUpAndRestoredByteForByte) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_NE(backed_up, data_checksum());
  const std::vector<std::string> ids = backup_ids();
  ASSERT_EQ(1u, ids.size());
  // The stored set really carries info beyond the buffer: its head says so.
  const std::vector<std::string> files = pool_files();
  ASSERT_EQ(1u, files.size());
  const std::string head = read_file(files[0]).substr(0, 4);
  ASSERT_EQ(4u, head.size());
  const unsigned long info_size = (static_cast<unsigned long>(static_cast<unsigned char>(head[0])) << 24) |
                                  (static_cast<unsigned long>(static_cast<unsigned char>(head[1])) << 16) |
                                  (static_cast<unsigned long>(static_cast<unsigned char>(head[2])) << 8) |
                                  static_cast<unsigned long>(static_cast<unsigned char>(head[3]));
  EXPECT_GT(info_size, 2UL * 8192);

  const Run_Result r = restore(ids[0]);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(backed_up, data_checksum());
  expect_clean(1);
}

}  // namespace
