// Every --json document of oscar-agent against the schema kept beside the
// man page (doc/oscar-agent.schema.json), with real jobs on a simulated
// instance: one shape a command, the field names the man page gives.

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

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
    const std::string file = sandbox_ / (std::string(definition) + ".json");
    EXPECT_TRUE(write_file(file, r.out));
    const Run_Result check = run_program({"/usr/bin/python3", OSCAR_SOURCE_DIR "/tests/validate_json.py",
                                          OSCAR_SOURCE_DIR "/doc/oscar-agent.schema.json", definition, file},
                                         {}, 60000);
    EXPECT_EQ(0, check.status) << check.err << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  Sim_Instance home_{sandbox_ / "home", "DB1", "sysdba", "Json-pw-57"};
};

TEST_F(AgentJsonOutput, EveryCommandPrintsOneDocumentOfItsDocumentedShape) {
  const nlohmann::json full = valid("job", {"backup", "DB1", "--type", "full", "--pool", "p1"});
  EXPECT_EQ("full", full.value("level", ""));
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
