#include "agent/coordinator_protocol.h"

#include <limits>

const char* const COORDINATOR_SELECTION_PATH = "/zq/r/oscar/cluster";
const char* const COORDINATOR_DECISIONS_PATH = "/zq/r/oscar/cluster/decisions";
const char* const COORDINATOR_HEALTH_PATH = "/zq/r/oscar/health";

namespace {

using json = nlohmann::json;

// Member `name` of object `value` as a string; false with `why` when it is
// missing or of another type (or empty, unless `may_be_empty`).
bool text_member(const json& value, const char* name, std::string& out, std::string& why, bool may_be_empty = true) {
  auto it = value.find(name);
  if (it == value.end() || !it->is_string()) {
    why = std::string("\"") + name + "\" must be a string";
    return false;
  }
  out = it->get<std::string>();
  if (!may_be_empty && out.empty()) {
    why = std::string("\"") + name + "\" is empty";
    return false;
  }
  return true;
}

bool flag_member(const json& value, const char* name, bool& out, std::string& why) {
  auto it = value.find(name);
  if (it == value.end() || !it->is_boolean()) {
    why = std::string("\"") + name + "\" must be true or false";
    return false;
  }
  out = it->get<bool>();
  return true;
}

template <typename Int>
bool integer_member(const json& value, const char* name, Int& out, std::string& why) {
  auto it = value.find(name);
  if (it == value.end() || !it->is_number_integer() ||
      (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<Int>::max())) ||
      (!it->is_number_unsigned() && (it->get<int64_t>() < std::numeric_limits<Int>::min() ||
                                     it->get<int64_t>() > std::numeric_limits<Int>::max()))) {
    why = std::string("\"") + name + "\" must be an integer";
    return false;
  }
  out = static_cast<Int>(it->get<int64_t>());
  return true;
}

bool request_members(const json& value, Selection_Request& r, std::string& why) {
  return text_member(value, "definition_uuid", r.definition_uuid, why, false) &&
         text_member(value, "uid", r.uid, why) && text_member(value, "instance_uuid", r.instance_uuid, why) &&
         flag_member(value, "select_master", r.select_master, why) &&
         text_member(value, "cluster", r.cluster, why, false) && integer_member(value, "node_id", r.node_id, why) &&
         flag_member(value, "is_master", r.is_master, why) && flag_member(value, "online", r.online, why) &&
         text_member(value, "host", r.host, why);
}

bool decision_members(const json& value, Decision_Record& record, std::string& why) {
  if (!value.is_object() || !value.contains("askers") || !value["askers"].is_array()) {
    why = "a decision must be an object with \"askers\"";
    return false;
  }
  if (!text_member(value, "cluster", record.cluster, why, false) ||
      !text_member(value, "definition_uuid", record.definition_uuid, why, false) ||
      !flag_member(value, "select_master", record.select_master, why) ||
      !selection_from_json(value, record.selection, why))
    return false;
  for (const json& asker : value["askers"]) {
    Selection_Request r;
    r.cluster = record.cluster;
    r.definition_uuid = record.definition_uuid;
    if (!asker.is_object() || !integer_member(asker, "node_id", r.node_id, why) ||
        !text_member(asker, "host", r.host, why) || !flag_member(asker, "is_master", r.is_master, why) ||
        !flag_member(asker, "online", r.online, why)) {
      if (why.empty()) why = "an asker must be an object";
      return false;
    }
    record.askers.push_back(r);
  }
  return true;
}

}  // namespace

bool parse_selection_request(const std::string& body, Selection_Request& request, std::string& why) {
  const json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    why = "the body is not JSON";
    return false;
  }
  if (!value.is_object()) {
    why = "the body must be a JSON object";
    return false;
  }
  return request_members(value, request, why);
}

nlohmann::json selection_request_json(const Selection_Request& r) {
  return json{{"definition_uuid", r.definition_uuid},
              {"uid", r.uid},
              {"instance_uuid", r.instance_uuid},
              {"select_master", r.select_master},
              {"cluster", r.cluster},
              {"node_id", r.node_id},
              {"is_master", r.is_master},
              {"online", r.online},
              {"host", r.host}};
}

nlohmann::json selection_json(const Selection& selection) {
  json value{{"selection_time", selection.selection_time}, {"state", selection.state}, {"node_id", selection.node_id}};
  if (!selection.reason.empty()) value["reason"] = selection.reason;
  return value;
}

bool selection_from_json(const nlohmann::json& value, Selection& selection, std::string& why) {
  if (!value.is_object()) {
    why = "the answer is not a JSON object";
    return false;
  }
  if (!integer_member(value, "selection_time", selection.selection_time, why) ||
      !text_member(value, "state", selection.state, why) || !integer_member(value, "node_id", selection.node_id, why))
    return false;
  if (selection.state != "success" && selection.state != "failed") {
    why = "\"state\" must be \"success\" or \"failed\"";
    return false;
  }
  selection.reason.clear();
  return !value.contains("reason") || text_member(value, "reason", selection.reason, why);
}

nlohmann::json decision_json(const Decision_Record& record) {
  json value = selection_json(record.selection);
  value["cluster"] = record.cluster;
  value["definition_uuid"] = record.definition_uuid;
  value["select_master"] = record.select_master;
  json askers = json::array();
  for (const Selection_Request& r : record.askers)
    askers.push_back({{"node_id", r.node_id}, {"host", r.host}, {"is_master", r.is_master}, {"online", r.online}});
  value["askers"] = askers;
  return value;
}

bool decisions_from_json(const nlohmann::json& value, std::vector<Decision_Record>& records, std::string& why) {
  if (!value.is_array()) {
    why = "the decisions are not a JSON array";
    return false;
  }
  for (const json& item : value) {
    Decision_Record record;
    if (!decision_members(item, record, why)) return false;
    records.push_back(record);
  }
  return true;
}
