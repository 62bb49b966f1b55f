// Every --json document of oscar-agent against the schema kept beside the
// man page (doc/oscar-agent.schema.json), with real jobs on a simulated
// instance: one shape a command, the field names the man page gives.

#include <gtest/gtest.h>

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
    ASSERT_TRUE(home_.start());
    ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "200"}).status);
    write_private_file(sandbox_ / "pw", home_.password());
    ASSERT_EQ(0, agent({"instance", "add", "DB1", "--home", home_.root(), "--user", "sysdba", "--password-file",
                        sandbox_ / "pw"})
                     .status);
    ASSERT_EQ(0, agent({"pool", "add", "p1", "--url", "file://" + sandbox_.path() + "/pool"}).status);
  }

  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 120000);
  }

  // Runs the command with --json; it must succeed and print one document
  // that the schema's definition `definition` accepts. Answers the document.
  nlohmann::json valid(const char* definition, std::vector<std::string> args) {
    args.push_back("--json");
    const Run_Result r = agent(args);
    EXPECT_EQ(0, r.status) << args[0] << ": " << r.out << r.err;
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
}

}  // namespace
