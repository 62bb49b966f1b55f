// oscar-agent check: one verdict per check of a registered instance, each
// check shown failing on its own.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const char NAME[] = "CHK1";

// One instance registered with its account, start script and a pool.
class Check_Setup {
 public:
  Check_Setup() : inst_(tmp_ / "home", NAME) {}

  ::testing::AssertionResult prepare(const std::vector<std::string>& init = {}) {
    ::testing::AssertionResult started = inst_.start(init);
    if (!started) return started;
    if (!write_private_file(tmp_ / "pw", inst_.password())) return ::testing::AssertionFailure() << "no password file";
    Run_Result r = agent(
        {"instance", "add", NAME, "--home", inst_.root(), "--user", inst_.user(), "--password-file", tmp_ / "pw"});
    if (r.status != 0) return ::testing::AssertionFailure() << r.err;
    r = agent({"pool", "add", "p1", "--url", "file://" + tmp_ / "pool1"});
    if (r.status != 0) return ::testing::AssertionFailure() << r.err;
    return ::testing::AssertionSuccess();
  }

  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 300000);
  }

  // check --json: the verdict and reason of each check by name.
  std::map<std::string, nlohmann::json> check(Run_Result& r, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"check", NAME, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    r = agent(args);
    std::map<std::string, nlohmann::json> by_name;
    const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false).value("checks", nlohmann::json());
    EXPECT_TRUE(doc.is_array()) << r.out << r.err;
    if (!doc.is_array()) return by_name;
    for (const nlohmann::json& c : doc) by_name[c.value("check", "")] = c;
    return by_name;
  }

  // Sets the size of every full backup in the catalogue.
  void set_full_size(unsigned long long size) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((state_ + "/catalog.db").c_str(), &db));
    const std::string sql = "UPDATE backup_sets SET record = json_set(record, '$.backup_set_size', " +
                            std::to_string(size) + ") WHERE json_extract(record, '$.type') = 'full'";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    EXPECT_EQ(1, sqlite3_changes(db));
    sqlite3_close(db);
  }

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  Sim_Instance inst_;
};

const char* const ALL_CHECKS[] = {"home",        "tools",   "configuration", "port",    "server",  "login",
                                  "archive-log", "version", "start script",  "pool p1", "space p1"};

TEST(AgentCheck, AGoodInstancePassesEveryCheck) {
  Check_Setup s;
  ASSERT_TRUE(s.prepare());
  Run_Result r;
  std::map<std::string, nlohmann::json> checks = s.check(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  for (const char* name : ALL_CHECKS) {
    ASSERT_EQ(1u, checks.count(name)) << name << "\n" << r.out;
    if (std::string(name) == "space p1") continue;
    EXPECT_EQ("ok", checks[name]["verdict"]) << name << ": " << checks[name];
  }
  EXPECT_EQ("skipped", checks["space p1"]["verdict"]);
  EXPECT_EQ("no full backup of CHK1 yet", checks["space p1"]["reason"]);
  EXPECT_EQ(std::to_string(s.inst_.port()), checks["port"]["reason"]);
  EXPECT_EQ(std::string::npos, r.out.find(s.inst_.password()));

  r = s.agent({"check", NAME});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string::size_type at = r.out.find("\nlogin ");
  ASSERT_NE(std::string::npos, at) << r.out;
  const std::string login = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  EXPECT_NE(std::string::npos, login.find(" ok ")) << login;
  EXPECT_NE(std::string::npos, login.find(s.inst_.user())) << login;
}

TEST(AgentCheck, FreeSpaceIsMeasuredAgainstTheLastFullBackup) {
  Check_Setup s;
  ASSERT_TRUE(s.prepare());
  Run_Result r = s.agent({"backup", NAME, "--type", "full", "--pool", "p1"});
  ASSERT_EQ(0, r.status) << r.err;
  std::map<std::string, nlohmann::json> checks = s.check(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ok", checks["space p1"]["verdict"]) << checks["space p1"];

  s.set_full_size(1ULL << 62);
  checks = s.check(r, {"--pool", "p1"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("FAIL", checks["space p1"]["verdict"]);
  EXPECT_NE(std::string::npos, checks["space p1"].value("reason", "").find("the last full backup took 4.0 EiB"));
  EXPECT_EQ("ok", checks["pool p1"]["verdict"]);
}

// Every catalogued set is looked for in its pool: by its stored size, and
// with --deep by its digest; a missing one and a changed one are told apart.
TEST(AgentCheck, CataloguedSetsAreLookedForInTheirPools) {
  Check_Setup s;
  ASSERT_TRUE(s.prepare());
  Run_Result r;
  EXPECT_EQ("none catalogued", s.check(r)["sets"].value("reason", "")) << r.out;
  r = s.agent({"backup", NAME, "--type", "full", "--pool", "p1"});
  ASSERT_EQ(0, r.status) << r.err;
  std::map<std::string, nlohmann::json> checks = s.check(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ok", checks["sets"]["verdict"]);
  EXPECT_EQ("1 set in place (sizes; --deep reads digests)", checks["sets"]["reason"]);
  EXPECT_EQ("1 set in place (digests read)", s.check(r, {"--deep"})["sets"].value("reason", "")) << r.out;

  std::string stored;
  for (const std::string& f : files_under(s.tmp_ / "pool1"))
    if (f.find(".manifest") == std::string::npos) stored = f;
  ASSERT_FALSE(stored.empty());
  std::string bytes = read_file(stored);
  bytes[bytes.size() / 2] ^= 1;
  ASSERT_TRUE(write_file(stored, bytes));
  EXPECT_EQ("ok", s.check(r)["sets"].value("verdict", "")) << r.out;  // the size is as recorded
  checks = s.check(r, {"--deep"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("FAIL", checks["set"]["verdict"]);
  EXPECT_NE(std::string::npos, checks["set"].value("reason", "").find(" MISMATCH: ")) << checks["set"];
  EXPECT_EQ(0u, checks.count("sets"));

  ASSERT_EQ(0, ::unlink(stored.c_str()));
  checks = s.check(r);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, checks["set"].value("reason", "").find(" MISSING: pool p1 holds no such file"))
      << checks["set"];
  EXPECT_NE(std::string::npos, r.err.find("check: 1 check(s) of instance CHK1 failed")) << r.err;
}

// One way to break the instance, and what check then says.
struct Breakage {
  const char* what;
  std::function<void(Check_Setup&)> apply;
  std::vector<std::string> extra;  // more arguments of check
  const char* check;               // the check that reports it
  const char* verdict;             // FAIL, or warn
  const char* reason;              // a part of its reason
  std::vector<std::string> skipped;
  std::vector<std::string> also_failing = {};  // checks that fail with it
};

void remove_file(const std::string& path) { ASSERT_EQ(0, ::unlink(path.c_str())) << path; }

TEST(AgentCheck, EachCheckFailsOnItsOwnFault) {
  const std::string conf_name = std::string("/admin/") + NAME + ".conf";
  const std::vector<Breakage> cases = {
      {"home gone",
       [](Check_Setup& s) {
         ASSERT_EQ(0, s.inst_.admin("stop").status);
         ASSERT_EQ(0, std::rename(s.inst_.root().c_str(), (s.tmp_ / "moved").c_str()));
       },
       {},
       "home",
       "FAIL",
       "does not exist",
       {"tools", "configuration", "port", "server", "login", "archive-log", "version"},
       {"start script"}},  // it links into the home
      {"a tool missing",
       [](Check_Setup& s) { remove_file(s.inst_.bin("brcmd")); },
       {},
       "tools",
       "FAIL",
       "bin/brcmd missing",
       {}},
      {"a tool not executable",
       [](Check_Setup& s) {
         remove_file(s.inst_.bin("osrimp"));
         ASSERT_TRUE(write_file(s.inst_.bin("osrimp"), "#!/bin/sh\n"));
         ASSERT_EQ(0, ::chmod(s.inst_.bin("osrimp").c_str(), 0644));
       },
       {},
       "tools",
       "FAIL",
       "bin/osrimp not executable",
       {}},
      {"configuration unreadable",
       [&](Check_Setup& s) {
         remove_file(s.inst_.root() + conf_name);
         ASSERT_EQ(0, ::mkdir((s.inst_.root() + conf_name).c_str(), 0755));
       },
       {},
       "configuration",
       "FAIL",
       "cannot read",
       {"port", "login", "archive-log", "version"}},
      {"no port line",
       [&](Check_Setup& s) { ASSERT_TRUE(write_file(s.inst_.root() + conf_name, "# no port\n")); },
       {},
       "port",
       "FAIL",
       "no \"port = N\" line",
       {"login", "archive-log", "version"}},
      {"server down",
       [](Check_Setup& s) { ASSERT_EQ(0, s.inst_.admin("stop").status); },
       {},
       "server",
       "FAIL",
       "not running",
       {"login", "archive-log", "version"}},
      {"password changed",
       [](Check_Setup& s) { ASSERT_EQ(0, s.inst_.admin("set", {"account.password=Other-456"}).status); },
       {},
       "login",
       "FAIL",
       "Error, ",
       {"archive-log"}},
      {"logs not archived",
       [](Check_Setup& s) { ASSERT_EQ(0, s.inst_.admin("set", {"archive_mode=NOARCHIVELOG"}).status); },
       {},
       "archive-log",
       "warn",
       "incremental backups stop the instance",
       {}},
      {"version unreadable",
       [](Check_Setup& s) { ASSERT_EQ(0, s.inst_.admin("set", {"faults.isql=fail=version"}).status); },
       {},
       "version",
       "FAIL",
       "cannot be read",
       {}},
      {"start script missing",
       [](Check_Setup& s) { remove_file(s.state_ + "/root/etc/init.d/oscardb_" + NAME + "d"); },
       {},
       "start script",
       "FAIL",
       "missing",
       {}},
      {"pool not writable",
       [](Check_Setup& s) {
         ASSERT_TRUE(write_file(s.tmp_ / "plain", "x"));
         ASSERT_EQ(0, s.agent({"pool", "add", "p2", "--url", "file://" + s.tmp_ / "plain/pool"}).status);
       },
       {"--pool", "p1", "--pool", "p2"},
       "pool p2",
       "FAIL",
       "is not a directory",
       {"space p2"}},
  };
  for (const Breakage& c : cases) {
    SCOPED_TRACE(c.what);
    Check_Setup s;
    ASSERT_TRUE(s.prepare());
    c.apply(s);
    if (::testing::Test::HasFatalFailure()) return;
    Run_Result r;
    std::map<std::string, nlohmann::json> checks = s.check(r, c.extra);
    const bool fails = std::string(c.verdict) == "FAIL";
    EXPECT_EQ(fails ? 1 : 0, r.status) << r.err;
    if (fails) {
      const std::string count = std::to_string(1 + c.also_failing.size());
      EXPECT_NE(std::string::npos, r.err.find(count + " check(s) of instance CHK1 failed")) << r.err;
      EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    }
    ASSERT_EQ(1u, checks.count(c.check)) << r.out;
    EXPECT_EQ(c.verdict, checks[c.check]["verdict"]) << checks[c.check];
    EXPECT_NE(std::string::npos, checks[c.check].value("reason", "").find(c.reason)) << checks[c.check];
    for (const std::string& name : c.skipped) EXPECT_EQ("skipped", checks[name]["verdict"]) << name;
    for (const auto& other : checks) {
      if (other.first == c.check) continue;
      if (std::find(c.also_failing.begin(), c.also_failing.end(), other.first) != c.also_failing.end()) {
        EXPECT_EQ("FAIL", other.second["verdict"]) << other.first;
        continue;
      }
      EXPECT_NE("FAIL", other.second["verdict"]) << other.first << ": " << other.second;
    }
    if (std::string(c.what) == "home gone") {
      ASSERT_EQ(0, std::rename((s.tmp_ / "moved").c_str(), s.inst_.root().c_str()));
    }
  }
}

TEST(AgentCheck, AnUnknownInstanceOrPoolIsOneLineOnStderr) {
  Check_Setup s;
  ASSERT_TRUE(s.prepare());
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"check", "NOSUCH"}, {"check", NAME, "--pool", "nopool"}}) {
    Run_Result r = s.agent(args);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  }
}

}  // namespace
