#ifndef HOST_AGENT_STATE_H
#define HOST_AGENT_STATE_H

#include <string>

// Process-wide settings of the host that say where the agent keeps its
// state. Set once at start-up (by the agent program or a test) before any
// job runs; read from any thread afterwards.

// The agent's state directory: instance and pool registries, the catalogue
// database, job logs. Empty until set.
const std::string& agent_state_dir();
void set_agent_state_dir(const std::string& dir);

// A prefix put in front of every fixed absolute path of the module and the
// host (spool, fifo and log directories), so that tests and the demo run
// under a throwaway root. Empty in production. root_path("/var/log/x")
// gives the prefixed path.
const std::string& host_root_prefix();
void set_host_root_prefix(const std::string& prefix);
std::string root_path(const std::string& absolute_path);

#endif
