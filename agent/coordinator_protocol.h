#ifndef AGENT_COORDINATOR_PROTOCOL_H
#define AGENT_COORDINATOR_PROTOCOL_H

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/coordinator_rounds.h"

// The coordinator's words on the wire, as the manual page's COORDINATOR
// section describes them. Nothing here throws; safe from any thread.

// The paths the coordinator answers.
extern const char* const COORDINATOR_SELECTION_PATH;  // POST: a node asks which node runs a job
extern const char* const COORDINATOR_DECISIONS_PATH;  // GET ?cluster=C: the last round of each definition
extern const char* const COORDINATOR_HEALTH_PATH;     // GET: {"status":"ok"}
// The largest request body the coordinator reads (64 KiB).
constexpr std::size_t COORDINATOR_MAX_BODY = 64 * 1024;

// Reads a selection request: a JSON object with "definition_uuid", "uid",
// "instance_uuid", "cluster", "host" (strings, the first and "cluster" not
// empty), "node_id" (integer), "select_master", "is_master", "online"
// (booleans). False with `why` one line naming the first member that is
// missing or of the wrong type; `request` is then unspecified.
bool parse_selection_request(const std::string& body, Selection_Request& request, std::string& why);

// The request as a node sends it (the inverse of parse_selection_request).
nlohmann::json selection_request_json(const Selection_Request& request);

// {"selection_time": T, "state": S, "node_id": N[, "reason": R]}.
nlohmann::json selection_json(const Selection& selection);

// Reads an answer as selection_json writes it; false with `why` one line.
bool selection_from_json(const nlohmann::json& value, Selection& selection, std::string& why);

// One record: {"cluster", "definition_uuid", "select_master",
// "selection_time", "state", "node_id"[, "reason"], "askers": [{"node_id",
// "host", "is_master", "online"}, ...]}.
nlohmann::json decision_json(const Decision_Record& record);

// Reads records as decision_json writes them (in an array); false with `why`
// one line when one is malformed.
bool decisions_from_json(const nlohmann::json& value, std::vector<Decision_Record>& records, std::string& why);

#endif
