#include "agent/job_documents.h"

#include "agent/cluster_settings.h"
#include "host/catalog/minor_resource_id.h"

namespace {

// The definition's id. A clustered instance's rests on the cluster's
// identity, not on this node's registration, so that the nodes of one
// cluster run the same definition and meet in the coordinator's rounds.
std::string definition_id(const Instance& inst, const char* kind) {
  Cluster_Settings cluster;
  const std::string& base = cluster_settings(inst, cluster) ? cluster.identity : inst.uuid;
  std::string id;
  if (!compute_minor_resource_id(base, kind, id)) id = inst.uuid;
  return id;
}

// A clustered instance's definition carries the cluster as its resource
// form: the module then asks which node runs the job.
nlohmann::json& with_cluster(const Instance& inst, nlohmann::json& def) {
  Cluster_Settings cluster;
  if (cluster_settings(inst, cluster)) def["rsrc_form"] = cluster.identity;
  return def;
}

}  // namespace

std::string resource_id(const Instance& inst) { return inst.uuid; }

nlohmann::json backup_definition(const Instance& inst, const std::string& host_id, const Backup_Request& request) {
  const std::string id = definition_id(inst, "oscar_brcmd_backup");
  nlohmann::json def = {
      {"id", id},
      {"uid", id},
      {"name", "backup of " + inst.name},
      {"host_id", host_id},
      {"agent", "oscar-agent"},
      {"type", "backup"},
      {"subtype", request.subtype},
      {"target", {{"id", request.pool_uuid}, {"device_id", ""}}},
      {"source", {{"id", resource_id(inst)}, {"name", inst.name}, {"entries", {"oscar/" + inst.name}}}},
      {"options", {{"compression", request.compression}, {"compression_level", request.level}}}};
  return with_cluster(inst, def);
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
  with_cluster(inst, out);
  return true;
}

namespace {

// The parts of DATABASE[/SCHEMA[/TABLE]]; empty when the entry is malformed.
std::vector<std::string> entry_parts(const std::string& entry) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = entry.find('/', start);
    parts.push_back(entry.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (parts.back().empty()) return {};
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (parts.size() > 3) return {};
  return parts;
}

bool text_member(const nlohmann::json& obj, const char* key, std::string& out) {
  if (!obj.is_object() || !obj.contains(key) || !obj[key].is_string()) return false;
  out = obj[key].get<std::string>();
  return true;
}

}  // namespace

bool export_definition(const Instance& inst, const std::string& host_id, const Export_Request& request,
                       nlohmann::json& out, std::string& err) {
  if (request.entries.empty()) {
    err = "at least one --entries DATABASE[/SCHEMA[/TABLE]] is needed";
    return false;
  }
  nlohmann::json entries = nlohmann::json::array();
  for (const std::string& entry : request.entries) {
    if (entry_parts(entry).empty()) {
      err = "--entries \"" + entry + "\" is not DATABASE[/SCHEMA[/TABLE]]";
      return false;
    }
    entries.push_back("oscar/" + inst.name + "/" + entry);
  }
  const std::string id = definition_id(inst, "oscar_export");
  out = {{"id", id},
         {"uid", id},
         {"name", "export of " + inst.name},
         {"host_id", host_id},
         {"agent", "oscar-agent"},
         {"type", "backup"},
         {"subtype", "export"},
         {"target", {{"id", request.pool_uuid}, {"device_id", ""}}},
         {"source", {{"id", resource_id(inst)}, {"name", inst.name}, {"entries", entries}}},
         {"options", {{"compression", request.compression}, {"compression_level", request.level}}}};
  with_cluster(inst, out);
  return true;
}

bool import_definition(const Instance& target, const std::string& host_id, const nlohmann::json& row,
                       const Import_Request& request, nlohmann::json& out, std::string& err) {
  std::string set_uuid, pool_uuid, definition_uuid, backup_host;
  if (!text_member(row, "uuid", set_uuid) || !text_member(row, "pool_uuid", pool_uuid) ||
      !text_member(row, "definition_uuid", definition_uuid)) {
    err = "the catalogue row lacks \"uuid\", \"pool_uuid\" or \"definition_uuid\"";
    return false;
  }
  text_member(row, "host_uuid", backup_host);
  // The catalogue gives numbers as signed integers.
  const unsigned long long seq =
      row.contains("seq") && row["seq"].is_number_integer() && row["seq"].get<long long>() > 0
          ? row["seq"].get<unsigned long long>()
          : 0;
  if (!row.contains("backup_files") || !row["backup_files"].is_array()) {
    err = "the catalogue row of " + set_uuid + " lists no files";
    return false;
  }
  const nlohmann::json* file = nullptr;
  for (const nlohmann::json& f : row["backup_files"]) {
    std::string database;
    if (!text_member(f, "database", database)) continue;
    if (request.database.empty() || database == request.database) {
      file = &f;
      break;
    }
  }
  std::string database, schema, table, path;
  if (file == nullptr || !text_member(*file, "database", database) || !text_member(*file, "file", path)) {
    err = "export " + set_uuid + " holds no file" +
          (request.database.empty() ? std::string() : " of database " + request.database);
    return false;
  }
  text_member(*file, "schema", schema);
  text_member(*file, "table", table);
  const std::string id = definition_id(target, "oscar_import");
  out = {{"id", id},
         {"uid", id},
         {"name", "import into " + target.name},
         {"host_id", host_id},
         {"agent", "oscar-agent"},
         {"type", "restore"},
         {"subtype", "import"},
         {"source",
          {{"id", resource_id(target)},
           {"name", target.name},
           {"backup_host_id", backup_host},
           {"backup_definition_id", definition_uuid},
           {"pool_uuid", pool_uuid},
           {"catalog_id", set_uuid},
           {"seq", seq},
           {"original", {{"database", database}, {"schema", schema}, {"table", table}, {"backup_file", path}}},
           {"restore_as",
            {{"database", target.name},
             {"schema", request.schema.empty() ? schema : request.schema},
             {"table", request.table.empty() ? table : request.table}}}}},
         {"options", nlohmann::json::object()}};
  with_cluster(target, out);
  return true;
}
