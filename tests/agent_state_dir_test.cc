// The agent's state directory: agents that start on the same new one at
// once must all succeed and end up sharing one identity, one catalogue and
// one pool registry; and a directory (or the fifo directory and dump spool
// beneath it) that another user owns or may write is refused.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

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
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

const int AGENTS = 4;

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

}  // namespace
