// Scheduled runs: the calendars cron can say, what schedule writes for
// systemd (checked by systemd-analyze against the packaged units) or prints
// for cron, what it refuses, and the command lines the units run, run
// against the simulator with the configuration giving the pool.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "agent/schedule_calendar.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const std::string AGENT = OSCAR_BUILD_DIR "/agent/oscar-agent";
const std::string PACKAGING = OSCAR_SOURCE_DIR "/packaging";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(AgentScheduleCalendar, TheFormsCronCanSayBecomeItsFieldsAndOthersAreRefused) {
  const std::pair<const char*, const char*> said[] = {
      {"daily", "0 0 * * *"},
      {"weekly", "0 0 * * 1"},
      {"hourly", "0 * * * *"},
      {"01:30", "30 1 * * *"},
      {"Mon..Fri 01:30", "30 1 * * 1-5"},
      {"Sat,Sun 3:05", "5 3 * * 6,7"},
      {"mon..wed,Friday 23:59", "59 23 * * 1-3,5"},
      {"*-*-* 04:15:00", "15 4 * * *"},
      {"Sun *-*-* 04:15", "15 4 * * 7"},
  };
  for (const auto& [calendar, fields] : said) {
    std::string out, err;
    EXPECT_TRUE(cron_fields(calendar, out, err)) << calendar << ": " << err;
    EXPECT_EQ(fields, out) << calendar;
  }
  for (const char* calendar : {"monthly", "*-*-01 01:00", "Mon 01:30:15", "Fri..Mon 01:00", "Mon..Foo 01:00", "24:00",
                               "01:60", "Mon", "Mon Tue 01:00"}) {
    std::string out, err;
    EXPECT_FALSE(cron_fields(calendar, out, err)) << calendar << " gave " << out;
    EXPECT_TRUE(contains(err, calendar)) << err;
  }
}

// A registered instance DB1 (its home a running simulated instance when
// the test starts one), pool p1 and a configuration file.
class AgentSchedule : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args, int timeout_ms = 120000) {
    args.insert(args.begin(), AGENT);
    args.insert(args.end(), {"--state", sandbox_.state_dir(), "--config", sandbox_ / "agent.conf"});
    return run_program(args, {}, timeout_ms);
  }

  void registered(const std::string& home, const std::string& password, bool running, const std::string& config) {
    ASSERT_TRUE(write_private_file(sandbox_ / "pw", password));
    ASSERT_TRUE(write_file(sandbox_ / "agent.conf", config));
    std::vector<std::string> add = {"instance",        "add",          "DB1", "--home", home, "--user", "sysdba",
                                    "--password-file", sandbox_ / "pw"};
    if (!running) add.push_back("--no-check");
    Run_Result r = agent(add);
    ASSERT_EQ(0, r.status) << r.err;
    r = agent({"pool", "add", "p1", "--url", "file://" + sandbox_.path() + "/pool"});
    ASSERT_EQ(0, r.status) << r.err;
  }

  void registered(const std::string& config) {
    ASSERT_EQ(0, ::mkdir((sandbox_ / "home").c_str(), 0700));
    registered(sandbox_ / "home", "pw", false, config);
  }

  // The command line of a unit's service drop-in, as words.
  std::vector<std::string> exec_start(const std::string& unit) {
    const std::string text = read_file(sandbox_ / ("units/" + unit + ".service.d/schedule.conf"));
    const std::size_t at = text.rfind("ExecStart=");
    std::istringstream line(text.substr(at + 10, text.find('\n', at) - at - 10));
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    return words;
  }

  Test_Sandbox sandbox_;
};

const char* const NIGHTLY =
    "keep-full = 2\n"
    "[instances.DB1]\npool = \"p1\"\nschedule = \"nightly\"\n"
    "[schedules.nightly]\nfull = \"Sun 01:00\"\nincr = \"Mon..Sat 01:30\"\nexpire = \"daily\"\n";

// The named schedule becomes drop-ins that systemd takes with the packaged
// units; a new schedule replaces them, --remove takes them away.
TEST_F(AgentSchedule, DropInsAreWrittenForThePackagedUnitsReplacedAndRemoved) {
  // The packaged example configuration, as written, schedules its DB1.
  registered(read_file(PACKAGING + "/oscar-agent.conf"));
  const std::string units = sandbox_ / "units";
  ASSERT_EQ(0, agent({"pool", "add", "offsite", "--url", "file://" + sandbox_.path() + "/offsite"}).status);
  Run_Result r = agent({"schedule", "DB1", "--unit-dir", units, "--dry-run"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(
      r.out, "would write " + units + "/oscar-agent-backup@DB1:incr.timer.d/schedule.conf (OnCalendar=Mon..Sat 01:00)"))
      << r.out;
  EXPECT_TRUE(files_under(units).empty());

  ASSERT_TRUE(write_file(sandbox_ / "agent.conf", NIGHTLY));

  r = agent({"schedule", "DB1", "--unit-dir", units});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(6u, files_under(units).size()) << r.out;
  EXPECT_TRUE(contains(read_file(units + "/oscar-agent-backup@DB1:incr.timer.d/schedule.conf"),
                       "\nOnCalendar=\nOnCalendar=Mon..Sat 01:30\n"));
  EXPECT_TRUE(contains(r.out,
                       "systemctl enable --now oscar-agent-backup@DB1:full.timer "
                       "oscar-agent-backup@DB1:incr.timer oscar-agent-expire@DB1.timer"))
      << r.out;
  // The runs use this state directory and configuration wherever they start.
  const std::vector<std::string> full = exec_start("oscar-agent-backup@DB1:full");
  const std::vector<std::string> want = {
      AGENT, "--config", sandbox_ / "agent.conf", "--state", sandbox_.state_dir(), "scheduled", "backup", "DB1:full"};
  EXPECT_EQ(want, full);

  const std::string analyze = "/usr/bin/systemd-analyze";
  if (::access(analyze.c_str(), X_OK) == 0) {
    std::vector<std::string> verify = {analyze, "verify", "--man=no"};
    for (const char* unit : {"oscar-agent-backup@DB1:full", "oscar-agent-backup@DB1:incr", "oscar-agent-expire@DB1"})
      for (const char* type : {".service", ".timer"}) {
        const std::string name = unit + std::string(type);
        verify.push_back(PACKAGING + "/" + name.substr(0, name.find('@') + 1) + type + ":" + name);
      }
    const Run_Result v = run_program(verify, {"SYSTEMD_UNIT_PATH=" + units + ":" + PACKAGING + ":"}, 60000);
    EXPECT_EQ(0, v.status) << v.out << v.err;
    EXPECT_EQ("", v.out + v.err) << "systemd warns";
  } else {
    std::printf("systemd-analyze is missing: the units are not verified\n");
  }

  r = agent({"schedule", "DB1", "--unit-dir", units, "--full", "weekly"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "systemctl disable --now oscar-agent-backup@DB1:incr.timer oscar-agent-expire@DB1.timer"))
      << r.out;
  EXPECT_EQ(std::vector<std::string>({units + "/oscar-agent-backup@DB1:full.service.d/schedule.conf",
                                      units + "/oscar-agent-backup@DB1:full.timer.d/schedule.conf"}),
            [&] {
              std::vector<std::string> f = files_under(units);
              std::sort(f.begin(), f.end());
              return f;
            }());
  r = agent({"schedule", "DB1", "--unit-dir", units, "--remove"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(dir_entries(units).empty()) << r.out;
}

// What a scheduled run would lack, or a calendar no one can run, is
// refused in one line before anything is written.
TEST_F(AgentSchedule, WhatARunWouldLackIsRefusedInOneLine) {
  registered("[instances.DB1]\nschedule = \"s\"\n[schedules.s]\nfull = \"daily\"\n[schedules.none]\n");
  const std::string units = sandbox_ / "units";
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } refusals[] = {
      {{"schedule", "DB1"}, 1, "need a pool: set pool = \"P\" in [instances.DB1] of"},
      {{"schedule", "DB1", "--expire", "daily"}, 1, "needs keep-full: set keep-full = N in [instances.DB1]"},
      {{"schedule", "DB2", "--full", "daily"}, 1, "unknown instance \"DB2\""},
      {{"schedule", "DB1", "--remove", "--full", "daily"}, 2, "--remove takes no --full"},
  };
  for (const auto& refusal : refusals) {
    std::vector<std::string> args = refusal.args;
    args.insert(args.end(), {"--unit-dir", units});
    const Run_Result r = agent(args);
    EXPECT_EQ(refusal.status, r.status) << args[1] << " " << r.err;
    EXPECT_TRUE(contains(r.err, refusal.says)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  }
  ASSERT_TRUE(write_file(sandbox_ / "agent.conf", "[instances.DB1]\npool = \"p1\"\n[schedules.none]\n"));
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"schedule", "DB1"}, "no calendar for DB1: give --full"},
           {{"schedule", "DB1", "--incr", "Mon..Foo 01:00"},
            "--incr \"Mon..Foo 01:00\" is not a calendar systemd takes"},
       }) {
    std::vector<std::string> line = args;
    line.insert(line.end(), {"--unit-dir", units});
    const Run_Result r = agent(line);
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, says)) << r.err;
  }
  EXPECT_TRUE(files_under(units).empty());
}

// Where no systemd runs the schedule is an /etc/cron.d file on standard
// output, running the same command lines as the units.
TEST_F(AgentSchedule, WithoutSystemdTheScheduleIsPrintedAsCronLines) {
  if (::access("/run/systemd/system", F_OK) == 0) GTEST_SKIP() << "systemd runs here: schedule writes units";
  registered(NIGHTLY);
  Run_Result r = agent({"schedule", "DB1", "--incr", "Mon..Sat 01:30", "--expire", "*-*-* 05:00"});
  ASSERT_EQ(0, r.status) << r.err;
  const std::string command = AGENT + " --config " + sandbox_ / "agent.conf" + " --state " + sandbox_.state_dir();
  EXPECT_EQ(
      "# /etc/cron.d/oscar-agent-DB1: the scheduled runs of DB1 (no systemd runs on this machine)\n"
      "30 1 * * 1-6 root " +
          command + " scheduled backup DB1:incr\n0 5 * * * root " + command + " expire DB1\n",
      r.out);
  r = agent({"schedule", "DB1", "--full", "*-*-01 01:00"});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(contains(r.err, "--full: no systemd runs on this machine and cron cannot run at \"*-*-01 01:00\""))
      << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

// The units' command lines, run as systemd would run them: backups at the
// levels their names carry into the pool of the configuration, then the
// expiry with its keep-full.
TEST_F(AgentSchedule, TheUnitsCommandLinesBackUpIntoTheConfiguredPoolAndExpire) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Sched-pass-31");
  ASSERT_TRUE(home.start());
  registered(home.root(), home.password(), true,
             "timeout = 120\n[instances.DB1]\npool = \"p1\"\nkeep-full = 1\nschedule = \"s\"\n"
             "[schedules.s]\nfull = \"Sun 01:00\"\nincr = \"Mon..Sat 01:00\"\nexpire = \"daily\"\n");
  Run_Result r = agent({"schedule", "DB1", "--unit-dir", sandbox_ / "units"});
  ASSERT_EQ(0, r.status) << r.err;
  for (const char* unit : {"oscar-agent-backup@DB1:full", "oscar-agent-backup@DB1:incr", "oscar-agent-backup@DB1:full",
                           "oscar-agent-expire@DB1"}) {
    r = run_program(exec_start(unit), {}, 180000);
    ASSERT_EQ(0, r.status) << unit << ": " << r.out << r.err;
    ASSERT_EQ(0, home.admin("touch").status);
  }
  r = agent({"catalog", "DB1", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  const nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
  // keep-full = 1: the first chain (full and incr) is gone, the newest full stays.
  ASSERT_EQ(1u, rows.size()) << r.out;
  EXPECT_EQ("full", rows[0].value("level", rows[0].value("backup_type", std::string())));
  EXPECT_TRUE(contains(r.out, "\"pool\":\"p1\"") || contains(r.out, "\"pool\": \"p1\"")) << r.out;
}

}  // namespace
