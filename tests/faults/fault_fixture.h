#ifndef TESTS_FAULTS_FAULT_FIXTURE_H
#define TESTS_FAULTS_FAULT_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

// One fault case of the physical path: a running simulated instance DB1
// registered with a fresh agent state directory and a file:// pool p1, the
// agent run as a program, and the checks every fault must pass afterwards:
// nothing left behind and the instance in the state the case expects.
class FaultSuite : public ::testing::Test {
 protected:
  void SetUp() override;

  // Runs oscar-agent with args (--state added) and env, at most timeout_ms.
  Run_Result agent(std::vector<std::string> args, const std::vector<std::string>& env = {}, int timeout_ms = 120000);
  // A backup of DB1 into p1 of `type` (full, incr, diff) with extra words.
  Run_Result backup(const std::string& type, const std::vector<std::string>& extra = {},
                    const std::vector<std::string>& env = {});
  // A restore of DB1 to `point` (the newest backup when empty) with extra
  // words; --force, as the cases run without a terminal to ask.
  Run_Result restore(const std::string& point = "", const std::vector<std::string>& extra = {},
                     const std::vector<std::string>& env = {});
  // The catalogued backup ids of DB1, oldest first.
  std::vector<std::string> backup_ids();
  // The digest of DB1's data files (oscar-sim checksum).
  std::string data_checksum();

  // Runs the agent with args on a thread of its own; once a process whose
  // command line holds `tool_path` runs, sends `sig` to the agent (and, when
  // again is set, a second time 300 ms later) and returns what the agent did.
  // With as_terminal_ the agent leads a process group of its own (started
  // through setsid(1)) and the signal goes to that whole group, as a
  // terminal sends Ctrl-C to its foreground group.
  // signalled_ holds when the (first) signal went out. When `also` is not
  // empty, only a tool process whose command line holds it too counts.
  Run_Result agent_signalled_during(const std::vector<std::string>& args, const std::string& tool_path, int sig,
                                    bool again = false, const std::vector<std::string>& env = {},
                                    const std::string& also = "");

  // Runs the agent with args on a thread of its own; once `ready` holds
  // (polled every 20 ms, for at most 60 s), sends `sig` to the agent and
  // returns what the agent did.
  Run_Result agent_signalled_when(const std::vector<std::string>& args, const std::function<bool()>& ready, int sig,
                                  const std::vector<std::string>& env = {});

  // The catalogue's rows for DB1 (catalog --json).
  std::size_t catalogued_sets();
  // Regular files below the pool directory, hidden ones included.
  // The stored files of the file pool, manifests left out.
  std::vector<std::string> pool_files() const;
  // The manifests of the file pool, one per catalogued set.
  std::vector<std::string> pool_manifests() const;
  // The fifos below the agent's root.
  std::vector<std::string> fifos() const;
  // Processes started from the home other than the server (the tools).
  std::vector<pid_t> tool_processes() const;
  // The tools that stay running over a few seconds: what a run left behind.
  std::vector<pid_t> tools_left() const;
  // A process's command line and its parent's, for a failure message.
  static std::string describe_process(pid_t pid);
  bool server_running() const;

  // The checks every fault case ends with: no fifo, no tool process, the
  // pool holding exactly one file per catalogued set, `sets` sets
  // catalogued, the server running or stopped as `running` says.
  void expect_clean(std::size_t sets, bool running = true);

  // Whether the agent's output names alert `code`.
  static bool has_alert(const Run_Result& r, int code);
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  // The options of "oscar-sim init" for DB1; a fixture deriving from this
  // one may change them in its constructor.
  std::vector<std::string> init_options_ = {"--size", "4M"};

  // Whether agent_signalled_during signals the agent's process group.
  bool as_terminal_ = false;

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  std::string pool_ = tmp_ / "pool";
  Sim_Home home_{tmp_ / "home", "DB1", "sysdba", "Fault-pass-91"};
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point signalled_;
};

// A case must end well within this, however it fails.
constexpr std::chrono::seconds FAULT_BOUND(90);

#endif
