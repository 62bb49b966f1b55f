// Cancellation of a physical job at each phase: the job ends through its
// failure path, reported cancelled, with nothing left behind.

#include <signal.h>

#include "tests/faults/fault_fixture.h"

namespace {

TEST_F(FaultSuite, InterruptWhileIsqlHangsBeforeTheStreamEndsTheJob) {
  // isql hangs on the archive-mode query, before brcmd ever runs.
  const Run_Result r = agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"},
                                              home_.root() + "/bin/isql", SIGINT, false, {"OSCAR_SIM_ISQL_FAULT=hang"});
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(FaultSuite, InterruptBeforeBrcmdOpensItsFifoCancelsOnceAndRaisesNoFifoAlert) {
  // brcmd runs but has not opened its end of the fifo yet: the cancel ends
  // the wait for it, and is neither repeated nor reported as a fifo fault.
  const Run_Result r =
      agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"}, home_.root() + "/bin/brcmd", SIGINT,
                             false, {"OSCAR_SIM_BRCMD_FAULT=delay-open=3000"});
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_EQ(1u, occurrences(r.err, "cancelling the job")) << r.err;
  EXPECT_FALSE(has_alert(r, 15)) << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);

  ASSERT_EQ(0, backup("full").status);
  const Run_Result restore = agent_signalled_during({"restore", "DB1"}, home_.root() + "/bin/brcmd", SIGINT, false,
                                                    {"OSCAR_SIM_BRCMD_FAULT=delay-open=3000"});
  EXPECT_EQ(130, restore.status) << restore.out << restore.err;
  EXPECT_EQ(1u, occurrences(restore.err, "cancelling the job")) << restore.err;
  EXPECT_FALSE(has_alert(restore, 15)) << restore.err;
  EXPECT_TRUE(contains(restore.err, "job ended canceled")) << restore.err;
  expect_clean(1, false);
}

TEST_F(FaultSuite, TermDuringARestoreStreamCancelsItAndASecondRestoreFinishes) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  const Run_Result r = agent_signalled_during({"restore", "DB1"}, home_.root() + "/bin/brcmd", SIGTERM, false,
                                              {"OSCAR_SIM_BRCMD_FAULT=slow=200"});
  EXPECT_EQ(143, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  // Stopped, partly restored: the set stays catalogued, no tool runs.
  expect_clean(1, false);

  const Run_Result again = restore();
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_EQ(backed_up, data_checksum());
  expect_clean(1);
}

}  // namespace
