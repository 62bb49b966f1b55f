#include "agent/job_documents.h"

#include "host/catalog/minor_resource_id.h"

namespace {

std::string definition_id(const Instance& inst, const char* kind) {
  std::string id;
  if (!compute_minor_resource_id(inst.uuid, kind, id)) id = inst.uuid;
  return id;
}

}  // namespace

std::string resource_id(const Instance& inst) { return inst.uuid; }

nlohmann::json backup_definition(const Instance& inst, const std::string& host_id, const Backup_Request& request) {
  const std::string id = definition_id(inst, "oscar_brcmd_backup");
  return {{"id", id},
          {"uid", id},
          {"name", "backup of " + inst.name},
          {"host_id", host_id},
          {"agent", "oscar-agent"},
          {"type", "backup"},
          {"subtype", request.subtype},
          {"target", {{"id", request.pool_uuid}, {"device_id", ""}}},
          {"source", {{"id", resource_id(inst)}, {"name", inst.name}, {"entries", {"oscar/" + inst.name}}}},
          {"options", {{"compression", request.compression}, {"compression_level", request.level}}}};
}

bool restore_definition(const Instance& inst, const std::string& host_id, const nlohmann::json& row,
                        nlohmann::json& out, std::string& err, bool verify) {
  static const char* const required[] = {"host_uuid", "definition_uuid", "pool_uuid", "backup_id"};
  for (const char* key : required) {
    if (!row.is_object() || !row.contains(key) || !row[key].is_string() || row[key].get<std::string>().empty()) {
      err = std::string("the catalogue row lacks \"") + key + "\"";
      return false;
    }
  }
  unsigned long long seq = 0;
  if (row.contains("seq")) {
    if (!row["seq"].is_number_unsigned()) {
      err = "the catalogue row's \"seq\" is not a number";
      return false;
    }
    seq = row["seq"].get<unsigned long long>();
  }
  const std::string id = definition_id(inst, "oscar_brcmd_restore");
  out = {{"id", id},
         {"uid", id},
         {"name", "restore of " + inst.name},
         {"host_id", host_id},
         {"agent", "oscar-agent"},
         {"type", "restore"},
         {"subtype", "none"},
         {"source",
          {{"id", resource_id(inst)},
           {"name", inst.name},
           {"backup_host_id", row["host_uuid"]},
           {"backup_definition_id", row["definition_uuid"]},
           {"pool_uuid", row["pool_uuid"]},
           {"catalog_id", row["backup_id"]},
           {"seq", seq},
           {"original", {{"database", inst.name}}},
           {"restore_as", {{"database", inst.name}}}}},
         {"options", nlohmann::json::object()}};
  if (!verify) out["options"]["verify"] = false;
  return true;
}
