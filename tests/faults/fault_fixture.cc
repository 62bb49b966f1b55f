#include "tests/faults/fault_fixture.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/catalog/set_manifest.h"

namespace {

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

// The command line of a process, its arguments joined by blanks.
std::string cmdline_of(const std::string& pid) {
  std::string text = read_file("/proc/" + pid + "/cmdline");
  for (char& c : text)
    if (c == '\0') c = ' ';
  return text;
}

// Pids of the processes whose command line holds `part`.
std::vector<pid_t> processes_with(const std::string& part) {
  std::vector<pid_t> out;
  for (const std::string& name : dir_entries("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (cmdline_of(name).find(part) != std::string::npos) out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

// The parent of a process, or 0 when it is gone. The command name in the
// stat line is in parentheses and may hold blanks, so read after the last one.
pid_t parent_of(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  char state = 0;
  int ppid = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return static_cast<pid_t>(ppid);
}

// Whether a process ignores sig, as its status line SigIgn (a hex mask of
// signals, bit sig - 1) says; false when it is gone.
bool ignores(pid_t pid, int sig) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigIgn:");
  if (at == std::string::npos) return false;
  const unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
  return ((mask >> (sig - 1)) & 1ULL) != 0;
}

void fifos_below(const std::string& dir, std::vector<std::string>& out) {
  for (const std::string& name : dir_entries(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISFIFO(st.st_mode)) out.push_back(path);
    if (S_ISDIR(st.st_mode)) fifos_below(path, out);
  }
}

}  // namespace

void FaultSuite::SetUp() {
  started_ = std::chrono::steady_clock::now();
  ASSERT_EQ(0, home_.init(init_options_).status);
  ASSERT_EQ(0, home_.admin("start").status);
  ASSERT_TRUE(write_private_file(tmp_ / "pw", home_.password()));
  Run_Result r =
      agent({"instance", "add", "DB1", "--home", home_.root(), "--user", "sysdba", "--password-file", tmp_ / "pw"});
  ASSERT_EQ(0, r.status) << r.err;
  r = agent({"pool", "add", "p1", "--url", "file://" + pool_});
  ASSERT_EQ(0, r.status) << r.err;
}

Run_Result FaultSuite::agent(std::vector<std::string> args, const std::vector<std::string>& env, int timeout_ms) {
  args.insert(args.begin(), agent_program());
  args.push_back("--state");
  args.push_back(state_);
  return run_program(args, env, timeout_ms);
}

Run_Result FaultSuite::backup(const std::string& type, const std::vector<std::string>& extra,
                              const std::vector<std::string>& env) {
  std::vector<std::string> args = {"backup", "DB1", "--type", type, "--pool", "p1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return agent(args, env);
}

Run_Result FaultSuite::restore(const std::string& point, const std::vector<std::string>& extra,
                               const std::vector<std::string>& env) {
  std::vector<std::string> args = {"restore", "DB1", "--force"};
  if (!point.empty()) args.insert(args.end(), {"--point", point});
  args.insert(args.end(), extra.begin(), extra.end());
  return agent(args, env);
}

std::vector<std::string> FaultSuite::backup_ids() {
  // The listing is in the order the backups started.
  const Run_Result r = agent({"catalog", "DB1", "--json"});
  const nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
  std::vector<std::string> ids;
  if (!rows.is_array()) return ids;
  for (const nlohmann::json& row : rows) ids.push_back(row.value("backup_id", std::string()));
  return ids;
}

std::string FaultSuite::data_checksum() {
  const Run_Result r = home_.admin("checksum");
  EXPECT_EQ(0, r.status) << r.err;
  return r.out;
}

Run_Result FaultSuite::agent_signalled_during(const std::vector<std::string>& args, const std::string& tool_path,
                                              int sig, bool again, const std::vector<std::string>& env,
                                              const std::string& also) {
  Run_Result result;
  std::thread runner([&] {
    if (!as_terminal_) {
      result = agent(args, env);
      return;
    }
    // setsid(1) runs the agent in its place (same pid), as the leader of a
    // new session and process group.
    std::vector<std::string> argv = {"/usr/bin/setsid", agent_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--state", state_});
    result = run_program(argv, env, 120000);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<pid_t> agents;
  while (std::chrono::steady_clock::now() < deadline) {
    // This test's agent is its own child; a child the agent forked shows the
    // agent's command line until it runs its tool.
    agents = processes_with(agent_program() + " " + args[0]);
    agents.erase(std::remove_if(agents.begin(), agents.end(), [](pid_t p) { return parent_of(p) != ::getpid(); }),
                 agents.end());
    std::vector<pid_t> tools = processes_with(tool_path);
    // A second signal is to come while the cleanup lasts, which it does only
    // once the tool ignores the first one: a tool signalled before it set
    // that up ends at once.
    tools.erase(std::remove_if(tools.begin(), tools.end(),
                               [&](pid_t p) {
                                 return cmdline_of(std::to_string(p)).find(also) == std::string::npos ||
                                        (again && !ignores(p, sig));
                               }),
                tools.end());
    if (!agents.empty() && !tools.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(1u, agents.size()) << "no agent of this test running " << tool_path << " was seen";
  if (agents.size() == 1) {
    // The tool must not be in the group a terminal signals: there it would
    // die under the job before the job could cancel in order.
    for (pid_t tool : processes_with(tool_path)) {
      if (as_terminal_ && parent_of(tool) != 0) {
        EXPECT_NE(agents[0], ::getpgid(tool)) << "tool " << tool;
      }
    }
    signalled_ = std::chrono::steady_clock::now();
    const pid_t target = as_terminal_ ? -agents[0] : agents[0];
    ::kill(target, sig);
    if (again) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ::kill(target, sig);
    }
  }
  runner.join();
  return result;
}

Run_Result FaultSuite::agent_signalled_when(const std::vector<std::string>& args, const std::function<bool()>& ready,
                                            int sig, const std::vector<std::string>& env) {
  Run_Result result;
  std::thread runner([&] { result = agent(args, env); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool seen = false;
  while (!(seen = ready()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::vector<pid_t> agents = processes_with(agent_program() + " " + args[0]);
  agents.erase(std::remove_if(agents.begin(), agents.end(), [](pid_t p) { return parent_of(p) != ::getpid(); }),
               agents.end());
  EXPECT_TRUE(seen) << "the agent never reached the awaited point";
  EXPECT_EQ(1u, agents.size()) << "no agent of this test running " << args[0] << " was seen";
  if (agents.size() == 1) {
    signalled_ = std::chrono::steady_clock::now();
    ::kill(agents[0], sig);
  }
  runner.join();
  return result;
}

std::size_t FaultSuite::catalogued_sets() {
  Run_Result r = agent({"catalog", "DB1", "--json"});
  const nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
  EXPECT_TRUE(rows.is_array()) << r.out << r.err;
  return rows.is_array() ? rows.size() : 0;
}

std::vector<std::string> FaultSuite::fifos() const {
  std::vector<std::string> out;
  fifos_below(state_ + "/root", out);
  return out;
}

// Whether another test's live agent program (such as a discovery, which
// runs the isql of every server on the machine) started the process,
// itself or through a shell.
static bool run_by_other_agent(pid_t pid) {
  pid_t up = parent_of(pid);
  for (int level = 0; level < 2 && up > 1; ++level, up = parent_of(up))
    if (cmdline_of(std::to_string(up)).find(agent_program()) != std::string::npos) return parent_of(up) != ::getpid();
  return false;
}

std::vector<pid_t> FaultSuite::tool_processes() const {
  // This test's agents are its children; a tool of another test's agent
  // is not this test's concern.
  std::vector<pid_t> tools;
  for (const char* tool : {"/bin/brcmd", "/bin/isql", "/bin/osrexp", "/bin/osrimp"}) {
    for (pid_t pid : processes_with(home_.root() + tool))
      if (parent_of(pid) != 0 && !run_by_other_agent(pid)) tools.push_back(pid);
  }
  return tools;
}

std::vector<pid_t> FaultSuite::tools_left() const {
  // Another test's discovery runs this home's isql for a moment, and may be
  // seen as it starts or ends; a tool left behind stays.
  std::vector<pid_t> left = tool_processes();
  for (int i = 0; i < 30 && !left.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<pid_t> now = tool_processes();
    left.erase(std::remove_if(left.begin(), left.end(),
                              [&now](pid_t p) { return std::find(now.begin(), now.end(), p) == now.end(); }),
               left.end());
  }
  return left;
}

std::string FaultSuite::describe_process(pid_t pid) {
  const pid_t parent = parent_of(pid);
  return "pid " + std::to_string(pid) + " (" + cmdline_of(std::to_string(pid)) + "), parent " + std::to_string(parent) +
         " (" + cmdline_of(std::to_string(parent)) + ")";
}

bool FaultSuite::server_running() const { return !processes_with(home_.root() + "/bin/oscar ").empty(); }

std::vector<std::string> FaultSuite::pool_files() const {
  std::vector<std::string> files;
  for (const std::string& f : files_under(pool_))
    if (!is_manifest_name(f)) files.push_back(f);
  return files;
}

std::vector<std::string> FaultSuite::pool_manifests() const {
  std::vector<std::string> files;
  for (const std::string& f : files_under(pool_))
    if (is_manifest_name(f)) files.push_back(f);
  return files;
}

void FaultSuite::expect_clean(std::size_t sets, bool running) {
  EXPECT_TRUE(fifos().empty()) << fifos()[0];
  const std::vector<pid_t> tools = tools_left();
  EXPECT_TRUE(tools.empty()) << "a tool was left running: " << describe_process(tools[0]);
  EXPECT_EQ(sets, catalogued_sets());
  const std::vector<std::string> files = pool_files();
  EXPECT_EQ(sets, files.size()) << (files.empty() ? std::string() : files.back());
  EXPECT_EQ(sets, pool_manifests().size());
  EXPECT_EQ(running, server_running());
  EXPECT_LT(std::chrono::steady_clock::now() - started_, FAULT_BOUND);
}

bool FaultSuite::has_alert(const Run_Result& r, int code) {
  return contains(r.err, "alert " + std::to_string(code) + ":");
}
