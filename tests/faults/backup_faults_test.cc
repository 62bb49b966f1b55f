// Faults of a physical backup: each case asserts the job's result and alert,
// and that nothing was left behind (expect_clean).

#include <signal.h>

#include "tests/faults/fault_fixture.h"

namespace {

const char BRCMD_FAULT[] = "OSCAR_SIM_BRCMD_FAULT=";

std::vector<std::string> brcmd_fault(const std::string& faults) { return {BRCMD_FAULT + faults}; }

TEST_F(FaultSuite, BrcmdThatFailsBeforeOpeningTheFifoFailsTheBackup) {
  const Run_Result r = backup("full", {}, brcmd_fault("no-open"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job failed: ")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, BrcmdThatDiesMidStreamLeavesNoPartialSet) {
  const Run_Result r = backup("full", {}, brcmd_fault("die-after=1000000"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, BrcmdThatFailsAfterTheStreamCommitsNothing) {
  const Run_Result r = backup("full", {}, brcmd_fault("fail-after-stream"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, RestoreWhoseBrcmdFailsAfterTheStreamFailsAndLeavesTheInstanceStopped) {
  ASSERT_EQ(0, backup("full").status);
  const std::string chain = read_file(home_.root() + "/agent/lastlsn.dat");
  const Run_Result r = restore("", {}, brcmd_fault("fail-after-stream"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 28)) << r.err;
  EXPECT_TRUE(contains(r.err, "was left stopped with partly restored data files")) << r.err;
  EXPECT_TRUE(contains(r.err, "job failed: ")) << r.err;
  // The set stays catalogued and stored; the chain state is brcmd's alone.
  EXPECT_EQ(chain, read_file(home_.root() + "/agent/lastlsn.dat"));
  expect_clean(1, false);
}

TEST_F(FaultSuite, ShortHeadFailsTheBackup) {
  const Run_Result r = backup("full", {}, brcmd_fault("head-short"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, MissingChainStateAfterTheRunCommitsNothing) {
  const Run_Result r = backup("full", {}, brcmd_fault("no-lastlsn"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 18)) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, UnknownInstanceOrPoolFailsBeforeAnyJob) {
  Run_Result r = agent({"backup", "NOPE", "--type", "full", "--pool", "p1"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "unknown instance \"NOPE\"")) << r.err;
  r = agent({"backup", "DB1", "--type", "full", "--pool", "p9"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "unknown pool \"p9\"")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, StorageFullFailsTheWriteAndRemovesThePartialSet) {
  // A file-size limit stands in for a full disk: writes past it fail with
  // EFBIG (the signal it would raise is ignored, as the shell passes on).
  const std::string agent_cmd =
      std::string(OSCAR_BUILD_DIR "/agent/oscar-agent") + " backup DB1 --type full --pool p1 --state " + state_;
  const Run_Result r = run_program({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1024; exec " + agent_cmd}, {}, 120000);
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 17)) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, InterruptDuringTheStreamCancelsAndCleansUp) {
  const Run_Result r = agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"},
                                              home_.root() + "/bin/brcmd", SIGINT, false, brcmd_fault("slow=100"));
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Interrupt received, canceling the job")) << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, SecondTermSaysItIsStillCleaningUp) {
  // A brcmd stalled mid-stream and deaf to TERM: the cleanup lasts its
  // grace time (a brcmd still writing would end at once on the broken pipe).
  const Run_Result r =
      agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"}, home_.root() + "/bin/brcmd", SIGTERM,
                             true, brcmd_fault("stall-after=65536,ignore-term"));
  EXPECT_EQ(143, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "still cleaning up")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, TimeOutAbortsTheJobAndCommitsNothing) {
  const Run_Result r = backup("full", {"--timeout", "2"}, brcmd_fault("slow=100"));
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "aborting it")) << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, BrcmdThatNeverExitsIsEndedAndTheBackupFails) {
  const Run_Result r = backup("full", {"--timeout", "8"}, brcmd_fault("never-exit"));
  EXPECT_NE(0, r.status) << r.out << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, RestoreOfAnIncrementalChainGivesBackTheBackedUpData) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("incr").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::vector<std::string> ids = backup_ids();
  ASSERT_EQ(2u, ids.size());
  const Run_Result r = restore(ids[1]);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(backed_up, data_checksum());
  expect_clean(2);
}

}  // namespace
