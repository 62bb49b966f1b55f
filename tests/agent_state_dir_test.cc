// The agent's state directory and its configuration: which directory a run
// uses (option, environment, configuration file, user), that only commands
// that register something make it; agents that start on the same new one at
// once must all succeed and end up sharing one identity, one catalogue and
// one pool registry; a directory (or the fifo directory and dump spool
// beneath it) that another user owns or may write is refused; and a bad
// configuration file is one line naming its file and line.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "agent/agent_config.h"
#include "agent/command_defaults.h"
#include "agent/state_dir.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/storage/pool_info.h"
#include "oscar/brcmd_run.h"
#include "oscar/dump_spool.h"
#include "tests/support/backup_sets.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

const int AGENTS = 4;
const std::string AGENT = OSCAR_BUILD_DIR "/agent/oscar-agent";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string missing_state(const std::string& dir) { return "the state directory " + dir + " does not exist"; }

// One agent's first steps on the directory; answers its host id, or a
// line starting with "FAIL" that says which step failed.
std::string first_use(const std::string& dir, int n) {
  std::string err;
  if (!open_state_dir(dir, err)) return "FAIL open: " + err;
  const std::string host = agent_host_id(err);
  if (host.empty()) return "FAIL identity: " + err;
  const std::string id = std::to_string(n);
  Pool_Info pool;
  pool.uuid = "pool-" + id;
  pool.url = "file://" + dir + "/pool-" + id;
  if (!add_pool(pool)) return "FAIL pool";
  Catalog_Operator cat(-1, 30);
  if (!cat.check(err)) return "FAIL check: " + err;
  if (!cat.commit(full_backup_set(id, Backup_Set_Storage("pool-" + id, 10)))) return "FAIL commit: " + cat.error();
  json r;
  if (!cat.get_view("oscar_brcmd", "catalogs", json::object(), r)) return "FAIL view: " + cat.error();
  return host;
}

TEST(AgentStateDir, AgentsStartingTogetherOnANewDirectoryAllSucceedAndShareIt) {
  Temp_Dir tmp;
  const std::string dir = tmp / "state/nested";
  int go[2], answers[2];
  ASSERT_EQ(0, ::pipe(go));
  ASSERT_EQ(0, ::pipe(answers));
  std::vector<pid_t> children;
  for (int i = 0; i < AGENTS; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      // All start when the parent closes the pipe, as close together as
      // processes can.
      pollfd p{go[0], POLLIN, 0};
      char c;
      if (::poll(&p, 1, 30000) != 1 || ::read(go[0], &c, 1) != 0) ::_exit(2);
      const std::string line = first_use(dir, i) + "\n";
      ::_exit(::write(answers[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 3);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(answers[1]);
  ::close(go[1]);
  std::string text;
  char buf[1024];
  ssize_t n;
  pollfd p{answers[0], POLLIN, 0};
  while (::poll(&p, 1, 60000) == 1 && (n = ::read(answers[0], buf, sizeof buf)) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(answers[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::set<std::string> hosts;
  std::size_t lines = 0;
  for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1, ++lines)
    hosts.insert(text.substr(at, nl - at));
  EXPECT_EQ(static_cast<std::size_t>(AGENTS), lines) << text;
  ASSERT_EQ(1u, hosts.size()) << text;
  EXPECT_EQ(std::string::npos, hosts.begin()->find("FAIL")) << text;

  // What they left behind is one consistent state.
  const std::string old_state = agent_state_dir();
  set_agent_state_dir(dir);
  std::string err;
  EXPECT_EQ(*hosts.begin(), agent_host_id(err)) << err;
  Catalog_Operator cat(-1, 5);
  json r;
  ASSERT_TRUE(cat.get_view("oscar_brcmd", "catalogs", json::object(), r));
  EXPECT_EQ(static_cast<std::size_t>(AGENTS), r["rows"].size());
  for (int i = 0; i < AGENTS; ++i) {
    Pool_Info info;
    EXPECT_TRUE(get_pool_info(("pool-" + std::to_string(i)).c_str(), nullptr, info, false, 0, nullptr)) << i;
  }
  std::vector<std::string> stray;
  for (const std::string& f : dir_entries(dir))
    if (f.find(".tmp") != std::string::npos) stray.push_back(f);
  EXPECT_TRUE(stray.empty()) << stray.front();
  set_agent_state_dir(old_state);
}

// Each way a directory can be open to others, on each directory the agent
// and its module keep private things in: refused with one line that names
// the directory and the command that mends it, nothing made inside.
TEST(AgentStateDir, DirectoriesOfAnotherUserOrWritableByOthersAreRefused) {
  const struct {
    const char* how;
    mode_t mode;
    bool foreign;
    const char* hint;
  } ways[] = {
      {"world-writable with sticky bit", 01777, false, "chmod 700"},
      {"group-writable", 0770, false, "chmod 700"},
      {"owned by another user", 0700, true, "chown"},
  };
  for (const auto& w : ways) {
    SCOPED_TRACE(w.how);
    Test_Sandbox box;
    const auto spoil = [&w](const std::string& dir) {
      ASSERT_EQ(0, mkdir_p(dir));
      ASSERT_EQ(0, ::chmod(dir.c_str(), w.mode));
      if (w.foreign) {
        ASSERT_EQ(0, ::chown(dir.c_str(), 65534, 65534));
      }
    };
    const auto refused = [&w](const std::string& dir, const std::string& why) {
      EXPECT_NE(std::string::npos, why.find(dir + " ")) << why;
      EXPECT_NE(std::string::npos, why.find(w.hint)) << why;
      EXPECT_EQ(std::string::npos, why.find('\n')) << why;
    };

    const std::string state = box / "agent-state";
    spoil(state);
    std::string why;
    EXPECT_FALSE(open_state_dir(state, why));
    refused(state, why);
    EXPECT_TRUE(dir_entries(state).empty());
    EXPECT_EQ(box.state_dir(), agent_state_dir());

    spoil(oscar::dump_spool_path());
    why.clear();
    EXPECT_FALSE(oscar::prepare_dump_spool(why));
    refused(oscar::dump_spool_path(), why);

    Job_Definition_var def(new Job_Definition());
    def->id("def-fifo");
    Plain_Job job(def);
    oscar::Brcmd_Fifo fifo(1767260000);
    const std::string fifo_dir = fifo.path().substr(0, fifo.path().rfind('/'));
    spoil(fifo_dir);
    EXPECT_FALSE(fifo.create(job));
    EXPECT_TRUE(dir_entries(fifo_dir).empty());
    ASSERT_EQ(1u, job.alerts().size());
    EXPECT_EQ(15, job.alerts()[0].code);
  }
}

// A directory that is the user's own and closed to writes of others is
// used as it is, 0755 included; what is made is 0700.
TEST(AgentStateDir, PrivateDirectoriesAreAcceptedAndNewOnesMadeOwnerOnly) {
  Test_Sandbox box;
  ASSERT_EQ(0, mkdir_p(box / "shared-read", 0755));
  std::string why;
  EXPECT_TRUE(oscar::prepare_dump_spool(why)) << why;
  struct stat st;
  ASSERT_EQ(0, ::stat(oscar::dump_spool_path().c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  const std::string old_state = agent_state_dir(), old_root = host_root_prefix();
  EXPECT_TRUE(open_state_dir(box / "shared-read", why)) << why;
  EXPECT_TRUE(open_state_dir(box / "fresh", why)) << why;
  ASSERT_EQ(0, ::stat((box / "fresh").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  set_agent_state_dir(old_state);
  set_host_root_prefix(old_root);
}

// Which directory a run uses: --state, else $OSCAR_AGENT_STATE, else the
// configuration's state, else the user's default; a reading command names
// the one it looked for and makes nothing.
TEST(AgentStateDir, OptionThenEnvironmentThenConfigurationThenTheUsersDefault) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "agent.conf", "state = \"" + tmp / "from-conf" + "\"\n"));
  ASSERT_EQ(0, ::chmod((tmp / "agent.conf").c_str(), 0644));
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string chosen;
  } cases[] = {
      {{"instance", "list", "--config", tmp / "agent.conf"}, {"OSCAR_AGENT_STATE="}, tmp / "from-conf"},
      {{"--config", tmp / "agent.conf", "instance", "list"},
       {"OSCAR_AGENT_STATE=" + tmp / "from-env"},
       tmp / "from-env"},
      {{"--state", tmp / "from-option", "instance", "list", "--config", tmp / "agent.conf"},
       {"OSCAR_AGENT_STATE=" + tmp / "from-env"},
       tmp / "from-option"},
      {{"instance", "list"}, {"OSCAR_AGENT_STATE="}, "/var/lib/oscar-agent"},
  };
  for (const auto& c : cases) {
    if (c.chosen == "/var/lib/oscar-agent" && (::geteuid() != 0 || ::access(c.chosen.c_str(), F_OK) == 0)) continue;
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), AGENT);
    const Run_Result r = run_program(argv, c.env);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("oscar-agent: " + missing_state(c.chosen) +
                  " (instance add or pool add makes it; --state, $OSCAR_AGENT_STATE or state in the configuration "
                  "names another)\n",
              r.err);
    EXPECT_NE(0, ::access(c.chosen.c_str(), F_OK)) << c.chosen << " was made";
  }
  if (::geteuid() != 0) GTEST_SKIP() << "the default of another user needs root to switch users";
  // Another user: under $XDG_STATE_HOME, else ~/.local/state; made there
  // (owner only) by the first command that registers something.
  ASSERT_EQ(0, ::chmod(tmp.path().c_str(), 0711));
  ASSERT_EQ(0, mkdir_p(tmp / "home"));
  ASSERT_EQ(0, ::chown((tmp / "home").c_str(), 65534, 65534));
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                              AGENT};
  const std::vector<std::string> env = {"HOME=" + tmp / "home", "XDG_STATE_HOME=", "OSCAR_AGENT_STATE="};
  std::vector<std::string> list = as_nobody;
  list.insert(list.end(), {"instance", "list"});
  Run_Result r =
      run_program(list, {"HOME=" + tmp / "home", "XDG_STATE_HOME=" + tmp / "home/xdg", "OSCAR_AGENT_STATE="});
  EXPECT_TRUE(contains(r.err, missing_state(tmp / "home/xdg/oscar-agent"))) << r.err;
  r = run_program(list, env);
  EXPECT_TRUE(contains(r.err, missing_state(tmp / "home/.local/state/oscar-agent"))) << r.err;
  std::vector<std::string> add = as_nobody;
  add.insert(add.end(), {"pool", "add", "p1", "--url", "file://" + tmp / "home/pool"});
  r = run_program(add, env);
  ASSERT_EQ(0, r.status) << r.err;
  struct stat st;
  ASSERT_EQ(0, ::stat((tmp / "home/.local/state/oscar-agent").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(0700u, st.st_mode & 07777);
  r = run_program(list, env);
  EXPECT_EQ(0, r.status) << r.err;
}

// Every command that only reads, or needs what is registered, refuses a
// state directory that does not exist and leaves none behind; listing the
// running instances needs none and makes none either.
TEST(AgentStateDir, OnlyCommandsThatRegisterMakeAMissingDirectory) {
  Temp_Dir tmp;
  const std::string state = tmp / "mistyped";
  const std::vector<std::vector<std::string>> readers = {
      {"catalog"},
      {"catalog", "DB1"},
      {"catalog", "rebuild"},
      {"catalog", "remove", "X-1"},
      {"verify", "DB1"},
      {"instance", "list"},
      {"instance", "remove", "DB1"},
      {"instance", "set", "DB1", "--user", "u"},
      {"pool", "list"},
      {"pool", "clean", "p1"},
      {"pool", "remove", "p1"},
      {"browse", "DB1"},
      {"check", "DB1"},
      {"nodes", "DB1"},
      {"expire", "DB1", "--keep-full", "1"},
      {"backup", "DB1", "--type", "full", "--pool", "p1"},
      {"restore", "DB1"},
      {"export", "DB1", "--entries", "DB1", "--pool", "p1"},
      {"import", "DB1", "--point", "X-1"},
      {"status"},
      {"schedule", "DB1", "--full", "daily"},
  };
  for (std::vector<std::string> argv : readers) {
    argv.insert(argv.begin(), AGENT);
    argv.insert(argv.end(), {"--state", state});
    const Run_Result r = run_program(argv);
    EXPECT_EQ(1, r.status) << argv[1] << ": " << r.err;
    EXPECT_TRUE(contains(r.err, missing_state(state))) << argv[1] << ": " << r.err;
    EXPECT_NE(0, ::access(state.c_str(), F_OK)) << argv[1] << " made the directory";
  }
  Run_Result r = run_program({AGENT, "discover", "--state", state, "--json"}, {"TMPDIR=" + tmp.path()});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(dir_entries(tmp.path()).empty()) << "discover left a directory behind";
  r = run_program({AGENT, "pool", "add", "p1", "--url", "file://" + tmp / "pool", "--state", state});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0, ::access((state + "/pools.json").c_str(), F_OK));
  // A state without instances has nothing to be late: said in words.
  r = run_program({AGENT, "status", "--state", state});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("no instances registered (instance add registers one)\n", r.out);
}

// A configuration file that is wrong anywhere stops every command before it
// does anything, with one line naming the file and the line.
TEST(AgentConfig, AWrongFileIsOneLineNamingItsFileAndLine) {
  Temp_Dir tmp;
  const std::string file = tmp / "agent.conf";
  const struct {
    const char* text;
    std::string message;  // after "FILE"
  } cases[] = {
      {"pool = \"p1\"\n[instances.DB1]\nkeep_full = 2\n", ":3: unknown key \"keep_full\" in [instances.DB1]"},
      {"keep-full = \"two\"\n", ":1: keep-full must be a whole number from 1 to 100000"},
      {"\n\nlevel = 23\n", ":3: level must be a whole number from 1 to 22"},
      {"compression = \"gzip\"\n", ":1: compression must be one of none zstd lzop auto, not \"gzip\""},
      {"state = \"relative/dir\"\n", ":1: state must be an absolute path, not \"relative/dir\""},
      {"max-age = \"a day\"\n", ":1: max-age must be a duration such as 26h, 90m or 2d, not \"a day\""},
      {"[pools.p1]\nkeep-full = 2\n", ":2: unknown key \"keep-full\" in [pools.p1]"},
      {"[pool.p1]\n", ":1: unknown table [pool]"},
      {"[instances.DB1]\nschedule = \"nightly\"\n", ":2: schedule \"nightly\" of [instances.DB1] is not defined"},
      {"[instances.DB1\n", ":1: "},
      {"pool = \"p1\"\npool = \"p2\"\n", ":2: "},
      {"instances = 3\n", ":1: instances must be tables [instances.NAME]"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(write_file(file, c.text));
    ASSERT_EQ(0, ::chmod(file.c_str(), 0644));
    Agent_Config config;
    std::string err;
    EXPECT_FALSE(load_agent_config(file, config, err)) << c.text;
    EXPECT_EQ(0u, err.find(file + c.message)) << err;
    EXPECT_EQ(std::string::npos, err.find('\n')) << err;
  }
  // The program stops at once with the same line and exit status 2.
  const Run_Result r = run_program({AGENT, "catalog", "--config", file, "--state", tmp / "s"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("oscar-agent: " + file + ":1: ")) << r.err;
  // A file that others may change, and a named file that is missing.
  ASSERT_TRUE(write_file(file, "pool = \"p1\"\n"));
  ASSERT_EQ(0, ::chmod(file.c_str(), 0666));
  Agent_Config config;
  std::string err;
  EXPECT_FALSE(load_agent_config(file, config, err));
  EXPECT_EQ(file + ": other users may change it (it must belong to root or to this user, mode 0644 or stricter)", err);
  EXPECT_FALSE(load_agent_config(tmp / "none.conf", config, err));
  EXPECT_EQ(tmp / "none.conf" + ": No such file or directory", err);
}

// What the file gives a command: the instance's own value, else its pool's,
// else the top level's; the command line overrides all; a pool is a
// default only where it is the destination.
TEST(AgentConfig, ACommandTakesItsInstanceThenItsPoolThenTheTopLevel) {
  Temp_Dir tmp;
  const std::string file = tmp / "agent.conf";
  ASSERT_TRUE(write_file(file,
                         "pool = \"p1\"\ncompression = \"lzop\"\ntimeout = 900\nkeep-full = 3\n"
                         "[pools.p2]\ncompression = \"zstd\"\nlevel = 7\n"
                         "[instances.DB2]\npool = \"p2\"\ntimeout = 60\nkeep-full = 5\n"
                         "[schedules.nightly]\nfull = \"Sun 01:00\"\nincr = \"Mon..Sat 01:00\"\n"
                         "[instances.DB3]\nschedule = \"nightly\"\nlevel = 2\n"));
  ASSERT_EQ(0, ::chmod(file.c_str(), 0644));
  Agent_Config config;
  std::string err;
  ASSERT_TRUE(load_agent_config(file, config, err)) << err;
  EXPECT_EQ("Mon..Sat 01:00", config.schedules["nightly"].incr);
  EXPECT_EQ("", config.schedules["nightly"].diff);
  const Agent_Command backup = {
      {"backup"},       "NAME", 1,  1,         {"state", "type", "pool", "compression", "level", "timeout"},
      {"type", "pool"}, {},     {}, "back up", [](const Command_Line&) { return 0; }};
  const Agent_Command check = {{"check"}, "NAME", 1,  1,       {"state", "pool", "timeout"},
                               {},        {},     {}, "check", [](const Command_Line&) { return 0; }};
  const Agent_Command expire = {{"expire"},    "[NAME]", 0,  1,        {"state", "keep-full", "pool"},
                                {"keep-full"}, {},       {}, "expire", [](const Command_Line&) { return 0; }};
  const struct {
    const Agent_Command* command;
    std::vector<std::string> words;
    std::map<std::string, std::string> given, expected;
  } cases[] = {
      {&backup, {"backup", "DB1"}, {{"type", "full"}}, {{"pool", "p1"}, {"compression", "lzop"}, {"timeout", "900"}}},
      {&backup,
       {"backup", "DB2"},
       {{"type", "full"}},
       {{"pool", "p2"}, {"compression", "zstd"}, {"level", "7"}, {"timeout", "60"}}},
      {&backup,
       {"backup", "DB2"},
       {{"type", "full"}, {"pool", "p1"}, {"timeout", "5"}},
       {{"pool", "p1"}, {"compression", "lzop"}, {"timeout", "5"}}},
      {&backup,
       {"backup", "DB3"},
       {{"type", "incr"}},
       {{"pool", "p1"}, {"compression", "lzop"}, {"level", "2"}, {"timeout", "900"}}},
      {&check, {"check", "DB2"}, {}, {{"timeout", "60"}}},
      {&expire, {"expire"}, {}, {{"keep-full", "3"}}},
      {&expire, {"expire", "DB2"}, {}, {{"keep-full", "5"}}},
  };
  for (const auto& c : cases) {
    Command_Line line;
    line.words = c.words;
    line.options = c.given;
    line.options["state"] = "/s";
    ASSERT_TRUE(complete_command_line(*c.command, config, line, err)) << err;
    std::map<std::string, std::string> expected = c.expected;
    for (const auto& g : c.given) expected.emplace(g);
    expected["state"] = "/s";
    EXPECT_EQ(expected, line.options) << c.words.back();
  }
  // Without the file, a required option that it could have given is named.
  Command_Line bare;
  bare.words = {"backup", "DB1"};
  bare.options = {{"type", "full"}};
  EXPECT_FALSE(complete_command_line(backup, Agent_Config(), bare, err));
  EXPECT_EQ("--pool is required, here or as pool in the configuration", err);
  EXPECT_FALSE(bare.options["state"].empty());
}

}  // namespace
