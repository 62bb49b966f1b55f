#ifndef AGENT_COORDINATOR_CLIENT_H
#define AGENT_COORDINATOR_CLIENT_H

#include <nlohmann/json.hpp>
#include <string>

#include "agent/coordinator_rounds.h"

// A node's side of the coordinator's protocol (see the COORDINATOR section
// of oscar-agent(1)). Each call makes one connection, bounded in time, and
// answers true, or false with `error` one line that names the coordinator
// ("coordinator http://10.0.0.5:7443 does not answer: cannot connect").
// Nothing throws; safe from any thread (nothing is shared between calls).

struct Coordinator_Endpoint {
  std::string url;           // http://HOST:PORT or https://HOST:PORT
  std::string token;         // the shared token (read_token_file)
  std::string ca_file;       // https: the CA file that signed the server's certificate (default: the system's store)
  int timeout_seconds = 10;  // the longest a call waits for the whole answer
};

// Asks which node runs a job (POST of the request's JSON). The coordinator
// holds the request until the round is decided, so `timeout_seconds` must
// be longer than its round. `answer` holds the round's answer on success.
bool post_selection(const Coordinator_Endpoint& endpoint, const Selection_Request& request, Selection& answer,
                    std::string& error);

// The last decision of each definition of `cluster`: the array of records
// as the coordinator sends them.
bool coordinator_decisions(const Coordinator_Endpoint& endpoint, const std::string& cluster, nlohmann::json& decisions,
                           std::string& error);

// Whether the coordinator answers and takes the token. `round_seconds`,
// when given, receives how long its rounds last (0 when it does not say).
bool coordinator_health(const Coordinator_Endpoint& endpoint, std::string& error, int* round_seconds = nullptr);

#endif
