#ifndef AGENT_CLUSTER_SETTINGS_H
#define AGENT_CLUSTER_SETTINGS_H

#include <map>
#include <string>

#include "agent/arguments.h"
#include "agent/coordinator_client.h"
#include "host/services/instance_manager.h"

// A clustered instance: one database instance served by several nodes, each
// with its own agent, of which one runs each job, as the cluster's
// coordinator decides. The registry keeps what makes an instance clustered
// among the instance's options. Stateless; safe from any thread.

struct Cluster_Settings {
  std::string coordinator;  // the coordinator's url, http(s)://HOST[:PORT]
  std::string token_file;   // the file holding the token the nodes share
  std::string identity;     // the cluster's identity, the same on every node: NAME@VIRTUAL_ADDRESS
};

// The settings of `inst`; false when the instance is not clustered.
bool cluster_settings(const Instance& inst, Cluster_Settings& out);

// The settings as options of the instance's registry entry.
std::map<std::string, std::string> cluster_options(const Cluster_Settings& settings);

// The settings --coordinator URL and --coordinator-token-file FILE give for
// instance `name` of `home`: `given` tells whether either option is there.
// False with err one line when only one of them is, the url is not
// http(s)://HOST[:PORT], the token file cannot be read (read_token_file) or
// the instance's configuration names no virtual address (the cluster's
// identity rests on it).
bool cluster_settings_from_line(const Command_Line& line, const std::string& name, const std::string& home,
                                Cluster_Settings& out, bool& given, std::string& err);

// The coordinator as the client reaches it, its token read from the token
// file; false with err one line naming the file.
bool coordinator_endpoint(const Cluster_Settings& settings, Coordinator_Endpoint& endpoint, std::string& err);

#endif
