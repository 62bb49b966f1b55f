#ifndef TESTS_SUPPORT_SIM_HOME_H
#define TESTS_SUPPORT_SIM_HOME_H

// Helpers for tests that run the database simulator as a real program.

#include <cstdint>
#include <string>
#include <vector>

// What a finished child left behind.
struct Run_Result {
  int status = -1;         // exit status, or -1 when killed by a signal
  int signal = 0;          // the killing signal, if any
  bool timed_out = false;  // killed by run_program after timeout_ms
  std::string out, err;    // standard output and standard error
};

// Runs argv[0] (a path) with argv, the current environment plus env
// ("NAME=value" entries, overriding), standard input from /dev/null, and
// collects both output streams. A
// child still running after timeout_ms is killed (SIGKILL) and reaped.
Run_Result run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                       int timeout_ms = 30000);

// Starts argv[0] (a path) with argv and the current environment, standard
// input from /dev/null and standard error appended to `log` (made 0600);
// -1 when it cannot be started. The caller kills and reaps it.
int spawn_program(std::vector<std::string> argv, const std::string& log);

// The built simulator.
std::string sim_program();

// A local TCP port that was free a moment ago.
uint16_t free_port();

// One simulated instance in a home under a test's temporary directory.
// Stops its server on destruction (see Sim_Instance for a checked stop).
class Sim_Home {
 public:
  Sim_Home(const std::string& root, const std::string& instance, const std::string& user = "SYSDBA",
           const std::string& password = "Secret-123");
  ~Sim_Home();
  Sim_Home(const Sim_Home&) = delete;
  Sim_Home& operator=(const Sim_Home&) = delete;

  // "oscar-sim init" with this object's values and extra options.
  Run_Result init(const std::vector<std::string>& extra = {});
  // "oscar-sim COMMAND ROOT --instance NAME [extra...]".
  Run_Result admin(const std::string& command, const std::vector<std::string>& extra = {});
  // Runs ROOT/bin/TOOL with args.
  Run_Result tool(const std::string& name, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {}, int timeout_ms = 30000);
  // The checksum line printed by "oscar-sim checksum" (empty on failure).
  std::string checksum();

  const std::string& root() const { return root_; }
  const std::string& instance() const { return instance_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  uint16_t port() const { return port_; }
  std::string bin(const std::string& tool) const { return root_ + "/bin/" + tool; }

 protected:
  // Whether the destructor still runs "oscar-sim stop" (true at first).
  void stop_on_destruction(bool stop) { stop_on_destruction_ = stop; }

 private:
  std::string root_, instance_, user_, password_;
  uint16_t port_;
  bool stop_on_destruction_ = true;
};

#endif
