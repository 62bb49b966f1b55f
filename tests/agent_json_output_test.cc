// Every --json document of oscar-agent against the schema kept beside the
// man page (doc/oscar-agent.schema.json), with real jobs on a simulated
// instance: one shape a command, the field names the man page gives; and
// what those jobs leave for monitoring: the record of runs, the metrics file
// and status.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

// The series of a Prometheus text file (format 0.0.4), "name{labels}" to
// value, checked strictly: every line a HELP or TYPE comment or a sample,
// names and labels of the format's syntax, one TYPE a family before its
// samples, a family's samples together, no series twice. Fails the test
// otherwise.
std::map<std::string, double> parse_metrics(const std::string& text) {
  static const boost::regex help("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+");
  static const boost::regex type("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)");
  static const boost::regex sample(
      "([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\[\\\\\"n])*\""
      "(?:,[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\[\\\\\"n])*\")*\\})? "
      "(-?[0-9]+(?:\\.[0-9]+)?(?:e[+-]?[0-9]+)?|NaN|[+-]Inf)");
  std::map<std::string, double> series;
  std::set<std::string> typed, done;
  std::string current;
  std::istringstream in(text);
  std::string line;
  boost::smatch m;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ('\n', text.empty() ? '\n' : text.back()) << "the last line ends";
  while (std::getline(in, line)) {
    if (boost::regex_match(line, m, help)) continue;
    if (boost::regex_match(line, m, type)) {
      EXPECT_TRUE(typed.insert(m[1]).second) << "TYPE twice: " << line;
      continue;
    }
    if (!boost::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not a metrics line: \"" << line << "\"";
      continue;
    }
    const std::string name = m[1];
    EXPECT_EQ(1u, typed.count(name)) << "no TYPE before " << line;
    if (name != current) {
      EXPECT_TRUE(done.insert(name).second) << "samples of " << name << " apart";
      current = name;
    }
    EXPECT_TRUE(series.emplace(name + m.str(2), std::stod(m.str(3))).second) << "series twice: " << line;
  }
  return series;
}

class AgentJsonOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.start({"--vip", "127.0.0.1"}));  // a cluster of one node, for nodes
    ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "200"}).status);
    write_private_file(sandbox_ / "pw", home_.password());
    ASSERT_EQ(0, agent({"instance", "add", "DB1", "--home", home_.root(), "--user", "sysdba", "--password-file",
                        sandbox_ / "pw"})
                     .status);
    ASSERT_EQ(0, agent({"pool", "add", "p1", "--url", "file://" + sandbox_.path() + "/pool"}).status);
  }

  Run_Result agent(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    args.push_back("--config");
    args.push_back(sandbox_ / "agent.conf");
    return run_program(args, env, 120000);
  }

  // Runs the command with --json (and `env`); it must end with `status` and
  // print one document that the schema's definition `definition` accepts.
  // Answers the document.
  nlohmann::json valid(const char* definition, std::vector<std::string> args, int status = 0,
                       const std::vector<std::string>& env = {}) {
    args.push_back("--json");
    const Run_Result r = agent(args, env);
    EXPECT_EQ(status, r.status) << args[0] << ": " << r.out << r.err;
    last_err_ = r.err;
    const std::string file = sandbox_ / (std::string(definition) + ".json");
    EXPECT_TRUE(write_file(file, r.out));
    const Run_Result check = run_program({"/usr/bin/python3", OSCAR_SOURCE_DIR "/tests/validate_json.py",
                                          OSCAR_SOURCE_DIR "/doc/oscar-agent.schema.json", definition, file},
                                         {}, 60000);
    EXPECT_EQ(0, check.status) << check.err << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }

  // After a completed full and incremental backup of DB1 and the failed runs
  // (the last a refused full backup): the record of runs, the metrics file
  // and status say so.
  void monitored_after_failures(const nlohmann::json& full, const nlohmann::json& incr) {
    struct stat st;
    ASSERT_EQ(0, stat((state_ + "/runs/DB1.json").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const nlohmann::json runs = nlohmann::json::parse(read_file(state_ + "/runs/DB1.json"), nullptr, false);
    const nlohmann::json& kinds = runs["kinds"];
    EXPECT_EQ("failed", kinds["full"]["last"]["result"]) << runs;
    EXPECT_EQ("", kinds["full"]["last"]["run"]) << "refused before its job: " << runs;
    EXPECT_EQ(full["run"], kinds["full"]["last_success"]["run"]) << runs;
    EXPECT_EQ(incr["size_stored"], kinds["incr"]["last"]["size_stored"]) << runs;
    EXPECT_EQ("completed", kinds["incr"]["last"]["result"]) << runs;
    for (const char* kind : {"export", "import"}) EXPECT_EQ("failed", kinds[kind]["last"]["result"]) << runs;

    EXPECT_EQ(std::vector<std::string>{"oscar-agent-DB1.prom"}, dir_entries(metrics_)) << "no temporary file left";
    ASSERT_EQ(0, stat((metrics_ + "/oscar-agent-DB1.prom").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    const std::map<std::string, double> series = parse_metrics(read_file(metrics_ + "/oscar-agent-DB1.prom"));
    const std::string full_labels = "{instance=\"DB1\",type=\"full\"}",
                      incr_labels = "{instance=\"DB1\",type=\"incr\"}";
    EXPECT_EQ(0, series.at("oscar_agent_last_run_success" + full_labels));
    EXPECT_EQ(1, series.at("oscar_agent_last_run_success" + incr_labels));
    EXPECT_EQ(incr["size_stored"].get<double>(), series.at("oscar_agent_last_run_bytes_stored" + incr_labels));
    EXPECT_EQ(incr["size_read"].get<double>(), series.at("oscar_agent_last_run_bytes_read" + incr_labels));
    EXPECT_LE(series.at("oscar_agent_last_success_timestamp_seconds" + full_labels),
              series.at("oscar_agent_last_run_timestamp_seconds" + full_labels));
    EXPECT_GT(series.at("oscar_agent_last_success_timestamp_seconds" + full_labels), 1.7e9);
    EXPECT_EQ(0u, series.count("oscar_agent_last_run_success{instance=\"DB1\",type=\"restore\"}"));

    const nlohmann::json status = valid("status", {"status", "DB1"}, 1)["instances"][0];
    EXPECT_EQ("failed", status["verdict"]) << status;
    EXPECT_EQ(1, status["chain_length"]) << status;
    EXPECT_EQ(incr["backup_id"], status["last_backup"]["backup_id"]) << status;
    EXPECT_TRUE(status["last_failure"].is_object()) << status;
    const Run_Result line = agent({"status"});
    EXPECT_EQ(1, line.status);
    EXPECT_EQ(0u, line.out.find("DB1: failed; last full ")) << line.out;
    EXPECT_NE(std::string::npos, line.out.find("; chain 1; stored p1 ")) << line.out;
  }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  std::string last_err_;  // of the last command valid() ran
  // Every command reads this configuration; its metrics directory is made
  // by the test.
  const std::string metrics_ = sandbox_ / "metrics";
  const bool configured_ = write_file(sandbox_ / "agent.conf", "metrics-dir = \"" + metrics_ + "\"\n");
  Sim_Instance home_{sandbox_ / "home", "DB1", "sysdba", "Json-pw-57"};
};

TEST_F(AgentJsonOutput, EveryCommandPrintsOneDocumentOfItsDocumentedShape) {
  ASSERT_TRUE(configured_);
  EXPECT_EQ("never", valid("status", {"status"}, 1)["instances"][0]["verdict"]);
  // The metrics directory is missing: the backup still completes.
  const nlohmann::json full = valid("job", {"backup", "DB1", "--type", "full", "--pool", "p1"});
  EXPECT_EQ("full", full.value("level", ""));
  EXPECT_NE(0, access(metrics_.c_str(), F_OK));
  EXPECT_NE(std::string::npos, last_err_.find("oscar-agent: warning: cannot write metrics into " + metrics_ + ": "))
      << last_err_;
  ASSERT_EQ(0, mkdir(metrics_.c_str(), 0755));
  const nlohmann::json incr = valid("job", {"backup", "DB1", "--type", "incr", "--pool", "p1"});
  EXPECT_EQ("incremental", incr.value("level", ""));
  const nlohmann::json exported = valid("job", {"export", "DB1", "--entries", "DB1/SALES/ITEMS", "--pool", "p1"});

  const nlohmann::json listing = valid("catalog", {"catalog", "DB1"});
  const nlohmann::json sets = listing.value("backups", nlohmann::json::array());
  ASSERT_EQ(3u, sets.size()) << listing;
  EXPECT_EQ(full["backup_id"], sets[0]["backup_id"]);
  EXPECT_EQ(full["backup_id"], sets[1]["chain"]);
  EXPECT_EQ(exported["backup_id"], sets[2]["backup_id"]);
  EXPECT_EQ("DB1", sets[0]["instance"]);
  EXPECT_EQ(full["size_read"], sets[0]["size_read"]);
  EXPECT_EQ(full["size_stored"], sets[0]["size_stored"]);

  valid("job", {"import", "DB1", "--point", exported["backup_id"], "--as", "DB1/SALES/ITEMS_COPY"});

  // A job that fails prints its document too, with its headline's cause
  // and the exit status it has without --json; so does a command refused
  // before its job (no job made: no job_id).
  struct Failing {
    std::vector<std::string> args, env;
  };
  const Failing failing[] = {
      {{"backup", "DB1", "--type", "full", "--pool", "p1"}, {"OSCAR_SIM_BRCMD_FAULT=no-open"}},
      {{"export", "DB1", "--entries", "DB1/SALES", "--pool", "p1"}, {"OSCAR_SIM_OSREXP_FAULT=fail"}},
      {{"import", "DB1", "--point", exported["backup_id"], "--as", "DB1/SALES/ITEMS_FAILED"},
       {"OSCAR_SIM_OSRIMP_FAULT=fail"}},
      {{"backup", "DB1", "--type", "full", "--pool", "nopool"}, {}},
  };
  for (const Failing& f : failing) {
    SCOPED_TRACE(f.args[0] + (f.env.empty() ? " refused" : " with " + f.env[0]));
    const nlohmann::json doc = valid("job", f.args, 1, f.env);
    EXPECT_EQ("failed", doc.value("result", "")) << doc;
    EXPECT_EQ(f.args[0], doc.value("command", "")) << doc;
    EXPECT_EQ(f.env.empty(), !doc.contains("job_id")) << doc;
    const Run_Result plain = agent(f.args, f.env);
    EXPECT_EQ(1, plain.status);
    const std::string cause = doc.value("cause", "?");
    const bool headline = plain.err.find(" job failed: " + cause) != std::string::npos ||
                          plain.err.find("oscar-agent: " + f.args[0] + ": " + cause + "\n") != std::string::npos;
    EXPECT_TRUE(headline) << "the cause is the headline's: " << plain.err << doc;
  }
  monitored_after_failures(full, incr);

  const nlohmann::json checked = valid("verify", {"verify", "DB1"});
  ASSERT_EQ(2u, checked.value("sets", nlohmann::json::array()).size()) << checked;
  EXPECT_EQ("ok", checked["sets"][0]["result"]);
  EXPECT_EQ(full["size_stored"], checked["sets"][0]["size_stored"]);
  EXPECT_EQ("p1", checked["sets"][0]["pool"]);
  EXPECT_EQ(3u, valid("verify", {"verify", "--pool", "p1"}).value("ok", 0u));
  valid("pool_clean", {"pool", "clean", "p1", "--dry-run"});
  valid("catalog_remove", {"catalog", "remove", exported["backup_id"], "--dry-run"});
  valid("catalog_rebuild", {"catalog", "rebuild"});

  ASSERT_EQ(0, home_.admin("stop").status);
  const nlohmann::json restored = valid("job", {"restore", "DB1", "--timeout", "120"});
  EXPECT_EQ(incr["backup_id"], restored["backup_id"]);

  valid("instance_list", {"instance", "list"});
  valid("pool_list", {"pool", "list"});
  valid("expire", {"expire", "DB1", "--keep-full", "1", "--dry-run"});
  valid("discover", {"discover"});
  home_.admin("start");  // whether the restore started it again or not
  valid("check", {"check", "DB1"});
  valid("browse", {"browse", "DB1"});
  valid("browse", {"browse", "DB1", "DB1"});
  valid("browse", {"browse", "DB1", "DB1", "SALES"});
  valid("nodes", {"nodes", "DB1"});

  // A set gone from its pool: MISSING (not MISMATCH), with the status of a
  // problem.
  ASSERT_EQ(0, ::unlink((sandbox_.path() + "/pool/" + sets[1]["files"][0].get<std::string>()).c_str())) << sets[1];
  const nlohmann::json missing = valid("verify", {"verify", "DB1"}, 1);
  EXPECT_EQ("MISSING", missing["sets"][1]["result"]) << missing;
  EXPECT_EQ(nullptr, missing["sets"][1]["size_found"]) << missing;
}

}  // namespace
