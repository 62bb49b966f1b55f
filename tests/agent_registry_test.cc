// oscar-agent run as a program: command-line errors, and registering
// instances and pools in its state directory.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

const char PASSWORD[] = "Pw-7c1e-secret";

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

class AgentRegistry : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), agent_program());
    return run_program(args, {}, 60000);
  }
  Run_Result agent_with_state(std::vector<std::string> args) {
    args.push_back("--state");
    args.push_back(state_);
    return agent(args);
  }
  Run_Result add_instance(const std::string& name, const std::string& password_text) {
    write_private_file(tmp_ / "pw", password_text);
    return agent_with_state(
        {"instance", "add", name, "--home", home_, "--user", "sysdba", "--password-file", tmp_ / "pw", "--no-check"});
  }
  nlohmann::json read_json(const std::string& name) {
    return nlohmann::json::parse(read_file(state_ + "/" + name), nullptr, false);
  }

  void SetUp() override { ASSERT_EQ(0, mkdir(home_.c_str(), 0755)); }

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  std::string home_ = tmp_ / "home";
};

TEST_F(AgentRegistry, UnknownCommandPrintsUsageAndExitsTwo) {
  Run_Result r = agent({"frobnicate", "--state", state_});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("unknown command \"frobnicate\""));
  EXPECT_NE(std::string::npos, r.err.find("--help"));
  EXPECT_EQ(2, agent({}).status);
}

TEST_F(AgentRegistry, ArgumentErrorsAreUsageErrorsNamingTheProblem) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"catalog", "--state"}, "--state: 1 required DIR missing"},
      {{"pool", "add", "p1", "--url", "file:///tmp/x", "--state", state_, "--colour", "red"},
       "unknown option --colour"},
      {{"pool", "add", "--url", "file:///tmp/x", "--state", state_}, "NAME is required"},
      {{"pool", "add", "p1", "p2", "--url", "file:///tmp/x", "--state", state_}, "unexpected argument \"p2\""},
      {{"pool", "add", "p1", "--url", "s3://bucket", "--state", state_}, "needs --endpoint URL and --key-file FILE"},
      {{"pool", "add", "p1", "--url", "http://host/x", "--state", state_}, "the url must be file:///"},
      {{"backup", "db1", "--type", "weekly", "--pool", "p1", "--state", state_}, "--type must be full, incr or diff"},
      {{"backup", "db1", "--type", "full", "--state", state_}, "--pool is required"},
      {{"backup", "db1", "--type", "full", "--pool", "p1", "--compression", "gzip", "--state", state_},
       "--compression must be"},
      {{"backup", "db1", "--type", "full", "--pool", "p1", "--compression", "zstd", "--level", "0", "--state", state_},
       "--level must be"},
      {{"backup", "db1", "--type", "full", "--pool", "p1", "--level", "5", "--state", state_},
       "--level requires --compression"},
      {{"backup", "db1", "--typ", "full", "--pool", "p1", "--state", state_},
       "unknown option --typ (did you mean --type?)"},
      {{"restore", "db1", "--timeout", "soon", "--state", state_}, "--timeout must be"},
      {{"pool", "add", "p1", "--url", "file:///a", "--url", "file:///b", "--state", state_}, "--url: At Most 1"},
      {{"instance", "add", "bad/name", "--home", home_, "--user", "u", "--password-file", "f", "--state", state_},
       "invalid instance name"},
  };
  for (const Case& c : cases) {
    Run_Result r = agent(c.args);
    EXPECT_EQ(2, r.status) << c.message;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
}

TEST_F(AgentRegistry, InstanceAddKeepsThePasswordOnlyInTheAccountsFile) {
  Run_Result r = add_instance("DB1", std::string(PASSWORD) + "\n");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find(PASSWORD));
  EXPECT_EQ(std::string::npos, r.err.find(PASSWORD));

  struct stat st;
  ASSERT_EQ(0, stat((state_ + "/accounts.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  nlohmann::json accounts = read_json("accounts.json");
  ASSERT_TRUE(accounts.is_object());
  ASSERT_EQ(1u, accounts["accounts"].size());
  EXPECT_EQ(PASSWORD, accounts["accounts"][0]["password"]);  // the line end is not part of it
  EXPECT_EQ("sysdba", accounts["accounts"][0]["user"]);

  nlohmann::json instances = read_json("instances.json");
  ASSERT_TRUE(instances.is_object());
  ASSERT_EQ(1u, instances["instances"].size());
  EXPECT_EQ(home_, instances["instances"][0]["options"]["oscar_home"]);

  const std::vector<std::string> files = files_under(state_);
  ASSERT_GT(files.size(), 1u) << "the registries and the accounts file";
  for (const std::string& f : files) {
    if (f == state_ + "/accounts.json") continue;
    EXPECT_EQ(std::string::npos, read_file(f).find(PASSWORD)) << f;
  }
}

// A name is registered once: instance add refuses it again, instance set
// changes its home or account and keeps its identity.
TEST_F(AgentRegistry, InstanceAddRefusesAnExistingNameAndInstanceSetChangesIt) {
  ASSERT_EQ(0, add_instance("DB1", "first").status);
  const std::string uuid = read_json("instances.json")["instances"][0]["uuid"];
  const std::string registry = read_file(state_ + "/instances.json");
  Run_Result r = add_instance("DB1", "second");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("oscar-agent: instance add: instance DB1 exists; instance set DB1 changes its home or account\n", r.err);
  EXPECT_EQ(registry, read_file(state_ + "/instances.json"));
  EXPECT_EQ("first", read_json("accounts.json")["accounts"][0]["password"]);

  r = agent_with_state({"instance", "set", "DB1", "--password-file", tmp_ / "pw", "--no-check"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instance DB1 updated (home " + home_ + ", user sysdba)\n", r.out);
  EXPECT_EQ("second", read_json("accounts.json")["accounts"][0]["password"]);
  // A new user keeps the password; a new home must exist.
  r = agent_with_state({"instance", "set", "DB1", "--user", "backup", "--no-check"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("backup", read_json("accounts.json")["accounts"][0]["user"]);
  EXPECT_EQ("second", read_json("accounts.json")["accounts"][0]["password"]);
  r = agent_with_state({"instance", "set", "DB1", "--home", tmp_ / "nohome", "--no-check"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("instance set: the home " + tmp_ / "nohome" + " is not an existing"));
  nlohmann::json instances = read_json("instances.json");
  ASSERT_EQ(1u, instances["instances"].size());
  EXPECT_EQ(uuid, instances["instances"][0]["uuid"]);
  EXPECT_EQ(home_, instances["instances"][0]["options"]["oscar_home"]);

  EXPECT_EQ(2, agent_with_state({"instance", "set", "DB1"}).status);
  r = agent_with_state({"instance", "set", "DB2", "--user", "u"});
  EXPECT_EQ("oscar-agent: instance set: unknown instance \"DB2\"\n", r.err);
  // Without --no-check the login is tested: no server answers in this home.
  r = agent_with_state({"instance", "set", "DB1", "--user", "sysdba"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("instance set: the login of sysdba to instance DB1 failed")) << r.err;
  EXPECT_EQ("backup", read_json("accounts.json")["accounts"][0]["user"]);
}

TEST_F(AgentRegistry, InstanceAddLinksTheHomesStartScriptIntoTheAgentsRoot) {
  ASSERT_EQ(0, add_instance("DB1", "pw").status);
  const std::string link = state_ + "/root/etc/init.d/oscardb_DB1d";
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st));  // no script in the home, nothing linked

  ASSERT_EQ(0, mkdir((home_ + "/admin").c_str(), 0755));
  ASSERT_TRUE(write_file(home_ + "/admin/oscardb_DB1d", "#!/bin/sh\n"));
  Run_Result r = agent_with_state({"instance", "set", "DB1", "--home", home_, "--no-check"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("start script " + link)) << r.out;
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  ASSERT_GT(n, 0);
  EXPECT_EQ(home_ + "/admin/oscardb_DB1d", std::string(target, static_cast<std::size_t>(n)));
  // An existing link is replaced.
  EXPECT_EQ(0, agent_with_state({"instance", "set", "DB1", "--home", home_, "--no-check"}).status);
}

TEST_F(AgentRegistry, InstanceAddRefusesMissingEmptyOrOpenPasswordFileAndMissingHome) {
  Run_Result r =
      agent_with_state({"instance", "add", "DB1", "--home", home_, "--user", "u", "--password-file", tmp_ / "absent"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("cannot open the password file"));

  r = add_instance("DB1", "\n");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("holds no password"));

  // A password file that others may read, or that is another user's.
  ASSERT_TRUE(write_file(tmp_ / "open-pw", "x"));
  for (const mode_t mode : {0644, 0640, 0604}) {
    ASSERT_EQ(0, ::chmod((tmp_ / "open-pw").c_str(), mode));
    r = agent_with_state(
        {"instance", "add", "DB1", "--home", home_, "--user", "u", "--password-file", tmp_ / "open-pw"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("the password file " + tmp_ / "open-pw" + " has mode 0")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("chmod 600 " + tmp_ / "open-pw")) << r.err;
  }
  ASSERT_EQ(0, ::chmod((tmp_ / "open-pw").c_str(), 0600));
  ASSERT_EQ(0, ::chown((tmp_ / "open-pw").c_str(), 65534, 65534));
  r = agent_with_state({"instance", "add", "DB1", "--home", home_, "--user", "u", "--password-file", tmp_ / "open-pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("belongs to uid 65534")) << r.err;

  write_private_file(tmp_ / "pw", "x");
  r = agent_with_state(
      {"instance", "add", "DB1", "--home", tmp_ / "nohome", "--user", "u", "--password-file", tmp_ / "pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("not an existing absolute directory"));
  EXPECT_TRUE(read_file(state_ + "/instances.json").empty());
}

TEST_F(AgentRegistry, InstanceAddRefusesAnAccountAToolCommandLineCannotCarrySayingWhichCharacters) {
  const struct {
    std::string user;
    std::string password;
    const char* why;
  } cases[] = {
      {"sysdba", "Open Sesame1 TailSecret", "the password holds a blank"},
      {"sysdba", "Se\"cret9", "the password holds a quote"},
      {"sysdba", "Se'cret9", "the password holds a quote"},
      {"sysdba", "Se\\cret9", "the password holds a backslash"},
      {"sysdba",
       "Se\x01"
       "cret9",
       "the password holds a control character"},
      {"sysdba", "-Secret9", "the password starts with \"-\""},
      {"sys dba", "Secret9", "the user name holds a blank"},
      {"-sysdba", "Secret9", "the user name starts with \"-\""},
      {"file=x", "Secret9", "the user name holds \"=\""},
  };
  for (const auto& c : cases) {
    write_private_file(tmp_ / "pw", c.password + "\n");
    const Run_Result r = agent_with_state(
        {"instance", "add", "DB1", "--home", home_, "--user", c.user, "--password-file", tmp_ / "pw", "--no-check"});
    EXPECT_EQ(1, r.status) << c.why;
    EXPECT_NE(std::string::npos, r.err.find("instance add: " + std::string(c.why) + " (user names and passwords may"))
        << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    for (const char* part : {"Sesame1", "TailSecret", "cret9"}) EXPECT_EQ(std::string::npos, r.err.find(part)) << r.err;
    EXPECT_TRUE(read_file(state_ + "/accounts.json").empty()) << c.why;
  }
}

TEST_F(AgentRegistry, PoolAddRegistersOnceAndPoolSetChangesAPoolWithoutSets) {
  Run_Result r = agent_with_state({"pool", "add", "p1", "--url", "file://" + tmp_.path() + "/pool"});
  ASSERT_EQ(0, r.status) << r.err;
  nlohmann::json reg = read_json("pools.json");
  ASSERT_EQ(1u, reg["pools"].size());
  EXPECT_EQ("p1", reg["pools"][0]["name"]);
  const std::string uuid = reg["pools"][0]["uuid"];
  EXPECT_EQ(36u, uuid.size());

  const std::string before = read_file(state_ + "/pools.json");
  r = agent_with_state({"pool", "add", "p1", "--url", "file://" + tmp_.path() + "/other"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("oscar-agent: pool add: pool p1 exists; pool set p1 changes its settings\n", r.err);
  EXPECT_EQ(before, read_file(state_ + "/pools.json"));
  r = agent_with_state({"pool", "set", "p1", "--url", "file://" + tmp_.path() + "/other"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("pool p1 updated (url)\n", r.out);
  r = agent_with_state({"pool", "add", "p2", "--url", "file://" + tmp_.path() + "/p2"});
  ASSERT_EQ(0, r.status) << r.err;
  reg = read_json("pools.json");
  ASSERT_EQ(2u, reg["pools"].size());
  for (const auto& p : reg["pools"]) {
    if (p["name"] == "p1") {
      EXPECT_EQ(uuid, p["uuid"]);
      EXPECT_EQ("file://" + tmp_.path() + "/other", p["url"]);
    } else {
      EXPECT_NE(uuid, p["uuid"]);
    }
  }
  const struct {
    std::vector<std::string> args;
    int status;
    const char* err;
  } refused[] = {
      {{"pool", "set", "p1"}, 2, "pool set: name a setting to change"},
      {{"pool", "set", "p9", "--zstd-workers", "2"}, 1, "pool set: unknown pool \"p9\""},
      {{"pool", "set", "p1", "--endpoint", "http://localhost:1"}, 2, "--endpoint, --key-file and --region are for s3"},
      {{"pool", "set", "p1", "--url", "s3://bucket/x"}, 2, "an s3:// pool needs --endpoint URL and --key-file FILE"},
  };
  for (const auto& c : refused) {
    r = agent_with_state(c.args);
    EXPECT_EQ(c.status, r.status) << c.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
  }
  r = agent_with_state({"pool", "set", "p1", "--url", "file://" + tmp_.path() + "/other"});
  EXPECT_EQ("pool p1 unchanged\n", r.out);
}

// Everything the agent keeps in its state directory is its user's alone:
// files 0600 and directories 0700, whatever the umask, the catalogue and
// its journal included.
TEST_F(AgentRegistry, StateFilesAreOwnerOnly) {
  ASSERT_EQ(0, add_instance("DB1", PASSWORD).status);
  Run_Result r = agent_with_state({"pool", "add", "p1", "--url", "file://" + tmp_.path() + "/pool"});
  ASSERT_EQ(0, r.status) << r.err;
  r = agent_with_state({"pool", "list"});
  ASSERT_EQ(0, r.status) << r.err;
  std::vector<std::string> dirs = {state_}, seen;
  while (!dirs.empty()) {
    const std::string dir = dirs.back();
    dirs.pop_back();
    struct stat st;
    ASSERT_EQ(0, ::lstat(dir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777) << dir;
    for (const std::string& name : dir_entries(dir)) {
      const std::string path = dir + "/" + name;
      ASSERT_EQ(0, ::lstat(path.c_str(), &st));
      if (S_ISDIR(st.st_mode)) {
        dirs.push_back(path);
        continue;
      }
      seen.push_back(name);
      EXPECT_EQ(0600u, st.st_mode & 07777) << path;
    }
  }
  for (const char* name : {"instances.json", "accounts.json", "pools.json", "catalog.db"})
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), name)) << name;
}

}  // namespace
