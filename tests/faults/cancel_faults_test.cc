// Cancellation of a physical job at each phase: the job ends through its
// failure path, reported cancelled, with nothing left behind.

#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/faults/fault_fixture.h"

namespace {

TEST_F(FaultSuite, InterruptWhileIsqlHangsBeforeTheStreamEndsTheJob) {
  // isql hangs on the archive-mode query, before brcmd ever runs.
  const Run_Result r =
      agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"}, home_.root() + "/bin/isql", SIGINT,
                             false, {"OSCAR_SIM_ISQL_FAULT=hang=archivemode"}, "archivemode");
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);
}

TEST_F(FaultSuite, InterruptDuringTheLoginCheckCancelsBeforeAnyJobStarts) {
  // Every query hangs, the login test's among them: the check before the
  // job is bounded, and the signal that came meanwhile keeps the job from
  // starting.
  const Run_Result r = agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"},
                                              home_.root() + "/bin/isql", SIGINT, false, {"OSCAR_SIM_ISQL_FAULT=hang"});
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "canceled")) << r.err;
  EXPECT_FALSE(contains(r.out, "job")) << r.out;
  const long long waited =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - signalled_).count();
  EXPECT_LT(waited, 10) << "seconds from the signal to the agent's exit";
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
  EXPECT_EQ(1u, occurrences(r.err, "canceling the job")) << r.err;
  EXPECT_FALSE(has_alert(r, 15)) << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  expect_clean(0);

  ASSERT_EQ(0, backup("full").status);
  // With --json the same cancel, and one document on stdout that says so.
  const Run_Result restore =
      agent_signalled_during({"restore", "DB1", "--force", "--json"}, home_.root() + "/bin/brcmd", SIGINT, false,
                             {"OSCAR_SIM_BRCMD_FAULT=delay-open=3000"});
  EXPECT_EQ(130, restore.status) << restore.out << restore.err;
  EXPECT_EQ(1u, occurrences(restore.err, "canceling the job")) << restore.err;
  EXPECT_FALSE(has_alert(restore, 15)) << restore.err;
  EXPECT_TRUE(contains(restore.err, "job ended canceled")) << restore.err;
  const nlohmann::json doc = nlohmann::json::parse(restore.out, nullptr, false);
  EXPECT_EQ("canceled", doc.value("result", "")) << restore.out;
  EXPECT_EQ("Interrupt received", doc.value("cause", "")) << restore.out;
  EXPECT_FALSE(doc.value("backup_id", "").empty()) << restore.out;
  expect_clean(1, false);
}

TEST_F(FaultSuite, CtrlCToTheForegroundGroupCancelsEveryTimeWithOneOutcome) {
  // A terminal sends Ctrl-C to every process of its foreground group: the
  // job's tools must not be among them, or they die under the job and it
  // fails instead of being canceled in order.
  as_terminal_ = true;
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE("interrupt " + std::to_string(i + 1));
    started_ = std::chrono::steady_clock::now();  // each run is a case of its own
    const Run_Result r = agent_signalled_during({"backup", "DB1", "--type", "full", "--pool", "p1"}, home_.bin("brcmd"),
                                                SIGINT, false, {"OSCAR_SIM_BRCMD_FAULT=slow=50"});
    EXPECT_EQ(130, r.status) << r.out << r.err;
    EXPECT_EQ(1u, occurrences(r.err, "canceling the job")) << r.err;
    EXPECT_TRUE(contains(r.err, "the backup (full) job ended canceled\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "failed")) << r.err;
    EXPECT_FALSE(contains(r.err, "cancelled")) << r.err;
    expect_clean(0);
    if (HasFailure()) break;
  }
}

TEST_F(FaultSuite, TermDuringARestoreStreamCancelsItAndASecondRestoreFinishes) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  const Run_Result r = agent_signalled_during({"restore", "DB1", "--force"}, home_.root() + "/bin/brcmd", SIGTERM,
                                              false, {"OSCAR_SIM_BRCMD_FAULT=slow=200"});
  EXPECT_EQ(143, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  // Stopped, partly restored: the set stays catalogued, no tool runs.
  expect_clean(1, false);

  // The rerun finds the instance stopped and leaves it so.
  const Run_Result again = restore();
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_EQ(backed_up, data_checksum());
  EXPECT_TRUE(contains(again.out, "DB1 stopped again, as it was before the restore")) << again.out;
  expect_clean(1, false);
}

// How a backup of an instance without archived logs (which the backup
// shuts down first) is stopped, and where it is when that happens.
enum class Stop { INTERRUPT, TERMINATE, TIME_OUT };
struct Stopped_Backup {
  const char* name;
  const char* type;  // full, incr, diff
  bool in_shutdown;  // during the shutdown itself, else with brcmd mid-stream
  Stop stop;
};

void PrintTo(const Stopped_Backup& c, std::ostream* os) { *os << c.name; }

class StoppedBackupWithoutArchiveLogs : public FaultSuite, public ::testing::WithParamInterface<Stopped_Backup> {
 protected:
  std::string job_logs() const {
    std::string all;
    for (const std::string& f : files_under(state_ + "/logs")) all += read_file(f);
    return all;
  }
};

TEST_P(StoppedBackupWithoutArchiveLogs, InstanceRunsAgainWhenTheAgentExitsSoonAfter) {
  const Stopped_Backup c = GetParam();
  std::size_t sets = 0;
  if (std::string(c.type) != "full") {
    ASSERT_EQ(0, backup("full").status);
    sets = 1;
  }
  ASSERT_EQ(0, home_.admin("set", {"archive_mode=NOARCHIVELOG"}).status);
  ASSERT_EQ(0, home_.admin("touch").status);
  // The shutdown takes a few seconds, or brcmd stalls once its stream has
  // begun, so that the stop comes while the instance is (going) down.
  const std::vector<std::string> env =
      c.in_shutdown ? std::vector<std::string>{"OSCAR_SIM_ISQL_FAULT=hang=shutdown", "OSCAR_SIM_HANG_SECONDS=4"}
                    : std::vector<std::string>{"OSCAR_SIM_BRCMD_FAULT=stall-after=4096", "OSCAR_SIM_HANG_SECONDS=120"};
  std::vector<std::string> args = {"backup", "DB1", "--type", c.type, "--pool", "p1"};
  Run_Result r;
  int expected_status = 1;
  if (c.stop == Stop::TIME_OUT) {
    const int seconds = c.in_shutdown ? 2 : 7;
    args.insert(args.end(), {"--timeout", std::to_string(seconds)});
    signalled_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    r = agent(args, env);
  } else {
    const int sig = c.stop == Stop::INTERRUPT ? SIGINT : SIGTERM;
    expected_status = 128 + sig;
    r = agent_signalled_during(args, home_.bin(c.in_shutdown ? "isql" : "brcmd"), sig, false, env,
                               c.in_shutdown ? "shutdown immediate" : "");
  }
  const long long waited =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - signalled_).count();
  EXPECT_LT(waited, 15) << "seconds from the stop to the agent's exit";
  EXPECT_EQ(expected_status, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "job ended canceled")) << r.err;
  EXPECT_FALSE(contains(job_logs(), "Not starting sh")) << job_logs();
  expect_clean(sets, true);
}

INSTANTIATE_TEST_SUITE_P(EachTypeAndStop, StoppedBackupWithoutArchiveLogs,
                         ::testing::Values(Stopped_Backup{"FullInterrupted", "full", false, Stop::INTERRUPT},
                                           Stopped_Backup{"FullTerminated", "full", false, Stop::TERMINATE},
                                           Stopped_Backup{"FullTimedOut", "full", false, Stop::TIME_OUT},
                                           Stopped_Backup{"IncrementalInterrupted", "incr", false, Stop::INTERRUPT},
                                           Stopped_Backup{"IncrementalTerminated", "incr", false, Stop::TERMINATE},
                                           Stopped_Backup{"IncrementalTimedOut", "incr", false, Stop::TIME_OUT},
                                           Stopped_Backup{"DifferentialInterrupted", "diff", false, Stop::INTERRUPT},
                                           Stopped_Backup{"DifferentialTerminated", "diff", false, Stop::TERMINATE},
                                           Stopped_Backup{"DifferentialTimedOut", "diff", false, Stop::TIME_OUT},
                                           Stopped_Backup{"ShutdownInterrupted", "full", true, Stop::INTERRUPT},
                                           Stopped_Backup{"ShutdownTerminated", "full", true, Stop::TERMINATE},
                                           Stopped_Backup{"ShutdownTimedOut", "full", true, Stop::TIME_OUT}),
                         [](const ::testing::TestParamInfo<Stopped_Backup>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
