// Jobs that must not run the home's tools: an account in the registry that
// the account rule refuses (written there before the rule, or by hand), and
// a home whose tools others than root and the home's owner can change.
// Either way the job fails with one clear line before any tool starts, and
// the password shows nowhere.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "tests/faults/fault_fixture.h"

namespace {

class ToolGuard : public FaultSuite {
 protected:
  // Replaces the home's tools (not the running server) by scripts that only
  // record that they ran, with `mode`. Only runs by this test's agent are
  // recorded: a discovery run by another test lists every server on the
  // machine, this one's included, and may run its isql.
  void replace_tools(mode_t mode) {
    for (const char* tool : {"isql", "brcmd", "osrexp", "osrimp"}) {
      const std::string path = home_.bin(tool);
      ASSERT_EQ(0, ::unlink(path.c_str())) << path;
      ASSERT_TRUE(write_file(path, "#!/bin/sh\n[ -n \"$" + MARK + "\" ] && echo \"$0 $*\" >> " + ran_ + "\nexit 1\n"));
      ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
    }
  }
  // Writes `password` into the account of DB1 directly, as an older agent
  // or an administrator could have.
  void store_password(const std::string& password) {
    const std::string file = state_ + "/accounts.json";
    nlohmann::json accounts = nlohmann::json::parse(read_file(file), nullptr, false);
    ASSERT_TRUE(accounts.is_object());
    accounts["accounts"][0]["password"] = password;
    ASSERT_TRUE(write_file(file, accounts.dump()));
  }
  // Whether `part` shows in the agent's output or in any file of its state
  // directory but the accounts file.
  bool shown_anywhere(const Run_Result& r, const std::string& part) {
    if (contains(r.out, part) || contains(r.err, part)) return true;
    for (const std::string& f : files_under(state_))
      if (f != state_ + "/accounts.json" && contains(read_file(f), part)) return true;
    return false;
  }

  // The agent of this test, run with the mark its tools' runs record.
  Run_Result marked(const std::vector<std::string>& args) { return agent(args, {MARK + "=1"}); }
  Run_Result marked_backup() { return backup("full", {}, {MARK + "=1"}); }

  bool tools_ran() const { return ::access(ran_.c_str(), F_OK) == 0; }

  const std::string MARK = "TOOL_GUARD_TEST_RUN";
  std::string ran_ = tmp_ / "tools-ran";
};

TEST_F(ToolGuard, StoredAccountBreakingTheRuleFailsTheBackupBeforeAnyToolRuns) {
  replace_tools(0755);
  const struct {
    std::string password;
    const char* why;
  } cases[] = {
      {"Open Sesame1 TailSecret", "holds a blank"},
      {"Pw\"Quote9", "holds a quote"},
      {"Pw'Quote9", "holds a quote"},
      {"Pw\\Slash9", "holds a backslash"},
      {"Pw\tTab9", "holds a control character"},
      {"-Dash9secret", "starts with \"-\""},
  };
  for (const auto& c : cases) {
    store_password(c.password);
    const Run_Result r = marked_backup();
    EXPECT_NE(0, r.status) << c.why;
    // Refused by the check before the job, in one line.
    EXPECT_TRUE(contains(r.err,
                         "oscar-agent: backup: DB1: login as sysdba failed: the database account of user "
                         "\"sysdba\" is refused: the password " +
                             std::string(c.why)))
        << r.out << r.err;
    // A slow run may still ask the server's version (no account on that
    // line); what must never run is a tool given the refused account
    // (isql's -Usysdba/..., brcmd's -u sysdba -p ...).
    EXPECT_FALSE(tools_ran() && contains(read_file(ran_), "sysdba")) << c.why << ": " << read_file(ran_);
    for (const char* part : {"Sesame1", "TailSecret", "Quote9", "Slash9", "Tab9", "Dash9secret"})
      EXPECT_FALSE(shown_anywhere(r, part)) << part;
  }
  expect_clean(0);
}

TEST_F(ToolGuard, ToolWritableByOthersIsReportedByCheckAndRefusedByTheBackup) {
  replace_tools(0755);
  // The record works: a check of a home it trusts runs its tools.
  Run_Result r = marked({"check", "DB1"});
  ASSERT_TRUE(tools_ran()) << r.out << r.err;
  ASSERT_EQ(0, ::unlink(ran_.c_str()));

  ASSERT_EQ(0, ::chmod(home_.bin("brcmd").c_str(), 0757));
  r = marked({"check", "DB1"});
  EXPECT_NE(0, r.status);
  EXPECT_TRUE(contains(r.out, home_.bin("brcmd") + " is writable by others")) << r.out;
  EXPECT_FALSE(tools_ran()) << "check ran a tool it does not trust: " << read_file(ran_);

  // The backup is refused by its check before the job, in check's words.
  r = marked_backup();
  EXPECT_NE(0, r.status);
  EXPECT_TRUE(contains(r.err, "backup: DB1: home " + home_.root() + " refused: " + home_.bin("brcmd") +
                                  " is writable by others (mode 0757)\n"))
      << r.out << r.err;
  EXPECT_FALSE(tools_ran()) << read_file(ran_);
  expect_clean(0);

  // Discovery and the login test of a registration leave such a home alone.
  // (Other tests' servers may be listed, one of them named DB1 beside
  // this registration: only a row of this home counts.)
  r = marked({"discover"});
  EXPECT_FALSE(contains(r.out, "  " + home_.root() + "  ")) << r.out;
  r = marked({"instance", "add", "DB2", "--home", home_.root(), "--user", "sysdba", "--password-file", tmp_ / "pw"});
  EXPECT_NE(0, r.status) << r.out;
  EXPECT_TRUE(contains(
      r.err, "DB2: home " + home_.root() + " refused: " + home_.bin("brcmd") + " is writable by others (mode 0757)"))
      << r.err;
  EXPECT_FALSE(tools_ran()) << read_file(ran_);

  ASSERT_EQ(0, ::chmod(home_.bin("brcmd").c_str(), 0755));
  ASSERT_EQ(0, ::chmod((home_.root() + "/bin").c_str(), 0775));
  r = agent({"check", "DB1"});
  EXPECT_TRUE(contains(r.out, home_.root() + "/bin is writable by group")) << r.out;
  ASSERT_EQ(0, ::chmod((home_.root() + "/bin").c_str(), 0755));

  // A library the tools load, and the folder of the start script, count as
  // much as the tools.
  const std::string lib = home_.root() + "/lib/libplanted.so";
  ASSERT_EQ(0, ::mkdir((home_.root() + "/lib").c_str(), 0755) == 0 || errno == EEXIST ? 0 : -1);
  ASSERT_TRUE(write_file(lib, "not a library"));
  ASSERT_EQ(0, ::chmod(lib.c_str(), 0666));
  ASSERT_EQ(0, ::chmod((home_.root() + "/admin").c_str(), 0777));
  r = marked_backup();
  EXPECT_TRUE(contains(r.err, "DB1: home " + home_.root() + " refused: " + home_.root() +
                                  "/admin is writable by group and others (mode 0777) (and 1 more; check DB1 "
                                  "lists them)"))
      << r.out << r.err;
  EXPECT_FALSE(tools_ran()) << read_file(ran_);
  r = agent({"check", "DB1"});
  EXPECT_TRUE(contains(r.out, lib + " is writable by group and others")) << r.out;
  EXPECT_TRUE(contains(r.out, home_.root() + "/admin is writable by group and others")) << r.out;
  ASSERT_EQ(0, ::chmod((home_.root() + "/admin").c_str(), 0755));
}

}  // namespace
