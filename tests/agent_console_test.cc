// What oscar-agent shows on the console while it runs a job: the job's log
// lines only in its log file (with source locations relative to the
// project) unless --verbose, and one summary line at the end, or the alerts
// and the end of the job log when the job fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/pty_session.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A log line's source location as the module and the host write it
// ("oscar/brcmd_stream.cc:60 "), wherever the path may begin.
const std::regex SOURCE_LOCATION("[A-Za-z0-9_/.-]+\\.(cc|h):[0-9]+ ");

class AgentConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.start());
    write_private_file(sandbox_ / "pw", home_.password());
    ASSERT_EQ(0, agent({"instance", "add", "DB1", "--home", home_.root(), "--user", "sysdba", "--password-file",
                        sandbox_ / "pw"})
                     .status);
    ASSERT_EQ(0, agent({"pool", "add", "p1", "--url", "file://" + sandbox_.path() + "/pool"}).status);
  }

  // The agent's command line for args, on this test's state directory.
  std::vector<std::string> agent_line(std::vector<std::string> args) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    return args;
  }
  Run_Result agent(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return run_program(agent_line(args), env, 120000);
  }
  Run_Result backup(const std::vector<std::string>& extra = {}, const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"backup", "DB1", "--type", "full", "--pool", "p1", "--timeout", "120"};
    args.insert(args.end(), extra.begin(), extra.end());
    return agent(args, env);
  }
  // Everything the jobs of this test wrote into their logs.
  std::string job_logs() {
    std::string all;
    for (const std::string& f : files_under(state_ + "/logs")) all += read_file(f);
    return all;
  }
  std::string table_checksum(const std::string& table) { return home_.admin("table-checksum", {table}).out; }
  // Exports entries into p1 and answers the export's id (empty on failure).
  std::string export_entries(const std::string& entries) {
    const Run_Result r = agent({"export", "DB1", "--entries", entries, "--pool", "p1"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    std::string id;
    for (const nlohmann::json& row : catalog())
      if (row.value("type", std::string()) == "export") id = row.value("backup_id", std::string());
    return id;
  }
  nlohmann::json catalog() {
    const Run_Result r = agent({"catalog", "DB1", "--json"});
    return nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
  }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  Sim_Instance home_{sandbox_ / "home", "DB1", "sysdba", "Console-pw-31"};
};

TEST_F(AgentConsole, QuietBackupLogsOnlyIntoTheJobLogWithRelativeSourcePaths) {
  const Run_Result r = backup();
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_FALSE(std::regex_search(r.out, SOURCE_LOCATION)) << r.out;
  EXPECT_FALSE(std::regex_search(r.err, SOURCE_LOCATION)) << r.err;
  EXPECT_EQ("", r.err);

  const std::string logs = job_logs();
  std::smatch where;
  ASSERT_TRUE(std::regex_search(logs, where, SOURCE_LOCATION)) << logs;
  EXPECT_TRUE(contains(logs, " oscar/")) << logs;
  EXPECT_TRUE(contains(logs, " host/")) << logs;
  EXPECT_FALSE(contains(logs, OSCAR_SOURCE_DIR)) << logs;
  EXPECT_FALSE(contains(logs, OSCAR_BUILD_DIR)) << logs;
  EXPECT_FALSE(contains(logs, "/work/")) << logs;
  EXPECT_FALSE(contains(logs + r.out, home_.password()));
}

TEST_F(AgentConsole, VerboseEchoesTheJobLogLinesOnStderr) {
  const Run_Result r = backup({"--verbose"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_FALSE(std::regex_search(r.out, SOURCE_LOCATION)) << "stdout keeps progress and summary only\n" << r.out;
  std::smatch where;
  ASSERT_TRUE(std::regex_search(r.err, where, SOURCE_LOCATION)) << r.err;
  EXPECT_TRUE(contains(job_logs(), where.str())) << where.str();  // the same lines as the log file
  // Echoed lines begin with their relative source location.
  EXPECT_TRUE(std::regex_search(r.err, std::regex("(^|\n)(oscar|host)/[a-z_/]+\\.cc:[0-9]+ "))) << r.err;
  EXPECT_FALSE(contains(r.err, OSCAR_SOURCE_DIR)) << r.err;
  EXPECT_FALSE(contains(r.err, home_.password()));
}

TEST_F(AgentConsole, BackupEndsWithOneSummaryLineNamingWhatAndTheBackupId) {
  const Run_Result r = backup({"--compression", "zstd"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const nlohmann::json rows = catalog();
  ASSERT_TRUE(rows.is_array() && rows.size() == 1) << rows.dump();
  const std::string id = rows[0].at("backup_id");

  // The last line of stdout: what, the stored size (compressed, so the
  // read size follows), the time, the throughput and the id.
  ASSERT_FALSE(r.out.empty());
  ASSERT_EQ('\n', r.out.back());
  const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  const std::regex summary(
      "backup full of DB1 to pool p1 completed: [0-9.]+ (B|KiB|MiB) stored \\([0-9.]+ (KiB|MiB) read\\) "
      "in [0-9.]+s at [0-9.]+ (B|KiB|MiB|GiB)/s, backup id " +
      id + "\n");
  EXPECT_TRUE(std::regex_match(last, summary)) << last;
  // Before it the start line and, not on a terminal, plain progress lines.
  const std::regex earlier(
      "backup \\(full\\) run [^ ]+ started \\(job [^ ]+\\)|progress: [0-9]+%, [0-9.]+ (B|KiB|MiB) of .*");
  std::size_t at = 0, lines = 0;
  for (std::size_t eol; (eol = r.out.find('\n', at)) != r.out.size() - 1; at = eol + 1, ++lines)
    EXPECT_TRUE(std::regex_match(r.out.substr(at, eol - at), earlier)) << r.out.substr(at, eol - at);
  EXPECT_LE(lines, 1u + 11u) << "at most one progress line per ten percent\n" << r.out;
}

TEST_F(AgentConsole, FailedBackupShowsAlertsInWordsAndTheEndOfTheJobLogButNoSummary) {
  const Run_Result r = backup({}, {"OSCAR_SIM_BRCMD_FAULT=no-lastlsn"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_FALSE(contains(r.out, "completed")) << r.out;
  EXPECT_TRUE(contains(r.err, "the backup (full) job failed: ")) << r.err;
  EXPECT_TRUE(contains(r.err, " (alert 18: backup chain state or backup set size invalid)\n")) << r.err;
  const std::size_t tail = r.err.find("last lines of the job log ");
  ASSERT_NE(std::string::npos, tail) << r.err;
  // The lines after the heading are the log's own, relative paths included;
  // before it no log line reached the console.
  EXPECT_FALSE(std::regex_search(r.err.substr(0, tail), SOURCE_LOCATION)) << r.err;
  EXPECT_TRUE(std::regex_search(r.err.substr(tail), SOURCE_LOCATION)) << r.err;
  EXPECT_FALSE(contains(r.err, OSCAR_SOURCE_DIR)) << r.err;
  EXPECT_TRUE(catalog().empty());
}

TEST_F(AgentConsole, BackupChecksServerAndLoginFirstAndFailsInOneLineNamingTheCause) {
  Run_Result r = backup({}, {"OSCAR_SIM_ISQL_FAULT=refuse"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_EQ("", r.out) << "no job started";
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("oscar-agent: backup: DB1: login as sysdba failed: [^\n]*password authentication failed for "
                        "user \"sysdba\"[^\n]*\n")))
      << r.err;
  EXPECT_FALSE(contains(r.err, home_.password()));

  ASSERT_EQ(0, home_.admin("stop").status);
  r = backup();
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("oscar-agent: backup: DB1: the server does not answer \\(nothing listens on port [0-9]+\\)\n")))
      << r.err;
  EXPECT_TRUE(catalog().empty());
}

TEST_F(AgentConsole, IncrementalWithoutAChainSaysInOneLineThatItRanFull) {
  const Run_Result r = agent({"backup", "DB1", "--type", "incr", "--pool", "p1"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(
      r.out, "\nincremental asked, ran full: the instance's chain state names no catalogued backup to rest on\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nbackup full of DB1")) << r.out;
}

TEST_F(AgentConsole, RestoreAsksBeforeStoppingARunningInstanceAndLeavesItAsFound) {
  ASSERT_EQ(0, backup().status);
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::string changed = home_.checksum();
  Run_Result r = agent({"restore", "DB1"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_EQ(
      "oscar-agent: restore: DB1 is running; the restore stops it and replaces its data files; without a terminal to "
      "ask, give --force to go on\n",
      r.err);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(changed, home_.checksum()) << "nothing was touched";

  r = agent({"restore", "DB1", "--force"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(0u, r.out.find("stopping DB1 for the restore\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nDB1 started again\nrestore of DB1 to backup ")) << r.out;
  const std::string restored = home_.checksum();
  EXPECT_NE(changed, restored);

  // A stopped instance needs no question, and is stopped again afterwards.
  ASSERT_EQ(0, home_.admin("stop").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  r = agent({"restore", "DB1"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_FALSE(contains(r.out, "stopping DB1")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nDB1 stopped again, as it was before the restore\n")) << r.out;
  struct stat st;
  EXPECT_NE(0, ::stat((home_.root() + "/admin/DB1.db").c_str(), &st)) << "no server process recorded";
  EXPECT_EQ(restored, home_.checksum());
}

TEST_F(AgentConsole, ImportOverExistingObjectsWithoutATerminalRefusesNamingThemUnlessReplace) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "50"}).status);
  const std::string exported = table_checksum("SALES.ITEMS");
  const std::string id = export_entries("DB1/SALES/ITEMS");
  const std::string whole = export_entries("DB1");
  ASSERT_FALSE(id.empty() || whole.empty());
  ASSERT_EQ(0, home_.admin("change-table", {"SALES.ITEMS"}).status);
  const std::string changed = table_checksum("SALES.ITEMS");
  ASSERT_NE(exported, changed);

  // A table, and the database's export as the schema around it: one line,
  // nothing touched.
  for (const auto& as : std::vector<std::vector<std::string>>{
           {id, "DB1", "SALES.ITEMS exists in DB1; the import replaces it"},
           {whole, "DB1/SALES", "schema SALES exists in DB1 (table ITEMS); the import replaces it whole"}}) {
    const Run_Result r = agent({"import", "DB1", "--point", as[0], "--as", as[1]});
    EXPECT_EQ(1, r.status) << as[1];
    EXPECT_EQ("oscar-agent: import: " + as[2] + "; without a terminal to ask, give --replace to go on\n", r.err);
    EXPECT_EQ("", r.out) << "no job started";
    EXPECT_EQ(changed, table_checksum("SALES.ITEMS"));
  }
  // Into a schema and table that do not exist yet: nothing to ask.
  Run_Result r = agent({"import", "DB1", "--point", id, "--as", "DB1/ARCHIVE/ITEMS"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(exported, table_checksum("ARCHIVE.ITEMS"));
  r = agent({"import", "DB1", "--point", id, "--replace"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(exported, table_checksum("SALES.ITEMS"));

  // A database export may replace every schema: the count and the first few.
  r = agent({"import", "DB1", "--point", whole});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "oscar-agent: import: 4 schemas exist in DB1 (APP, ARCHIVE, HR and 1 more); the import replaces each one the "
      "export holds; without a terminal to ask, give --replace to go on\n",
      r.err);
  // An instance that cannot be looked at is not imported into blindly.
  ASSERT_EQ(0, home_.admin("stop").status);
  r = agent({"import", "DB1", "--point", id, "--as", "DB1/NEW/ITEMS"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("oscar-agent: import: cannot see what the import would replace in "
                                                 "DB1: instance DB1 is not running \\(nothing listens on port "
                                                 "[0-9]+\\); give --replace to import anyway\n")))
      << r.err;
}

// The question as a person meets it in a terminal, for each command that
// replaces what exists: Ctrl-C at the question cancels and a wrong word
// refuses, both touching nothing; the instance's name goes on.
class ConsentQuestion : public AgentConsole, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConsentQuestion, OnATerminalOnlyTheInstanceNameGoesOn) {
  const bool restore = std::string(GetParam()) == "restore";
  std::vector<std::string> args = {"restore", "DB1"};
  std::string statement = "DB1 is running; the restore stops it and replaces its data files";
  std::function<std::string()> state = [&] { return home_.checksum(); };
  if (restore) {
    ASSERT_EQ(0, backup().status);
  } else {
    ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "50"}).status);
    args = {"import", "DB1", "--point", export_entries("DB1/SALES/ITEMS")};
    statement = "SALES.ITEMS exists in DB1; the import replaces it";
    state = [&] { return table_checksum("SALES.ITEMS"); };
  }
  const std::string stored = state();
  ASSERT_EQ(0, (restore ? home_.admin("touch") : home_.admin("change-table", {"SALES.ITEMS"})).status);
  const std::string changed = state();
  ASSERT_NE(stored, changed);

  struct Answer {
    std::string keys;
    int status;
    std::string shown;
  };
  for (const Answer& a :
       {Answer{"\x03", 130, "received before the job started: canceled"},
        Answer{"DB2\r", 1, "not confirmed; nothing was changed"}, Answer{"DB1\r", 0, " completed: "}}) {
    Pty_Session terminal;
    ASSERT_TRUE(terminal.start(agent_line(args)));
    ASSERT_TRUE(terminal.wait_for(statement + ". Type DB1 to go on: ", 60000)) << terminal.screen();
    terminal.type(a.keys);
    EXPECT_EQ(a.status, terminal.finish(120000)) << terminal.screen();
    EXPECT_TRUE(contains(terminal.screen(), a.shown)) << terminal.screen();
    EXPECT_EQ(a.status == 0 ? stored : changed, state()) << terminal.screen();
  }
  EXPECT_EQ(0, agent({"browse", "DB1"}).status) << "the instance runs as before";
}

INSTANTIATE_TEST_SUITE_P(RestoreAndImport, ConsentQuestion, ::testing::Values("restore", "import"));

}  // namespace
