#include "agent/catalog_listing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
#include <vector>

#include "host/catalog/catalog_operator.h"
#include "host/services/instance_manager.h"

namespace {

std::string text_of(const nlohmann::json& row, const char* key) {
  if (!row.is_object() || !row.contains(key)) return "?";
  const nlohmann::json& v = row[key];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return v.dump();
  return "?";
}

std::string time_of(const nlohmann::json& row) {
  if (!row.is_object() || !row.contains("backup_start_time") || !row["backup_start_time"].is_number_integer())
    return "?";
  const std::time_t t = row["backup_start_time"].get<long long>();
  struct tm tm_buf;
  char text[32];
  if (localtime_r(&t, &tm_buf) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm_buf) == 0)
    return "?";
  return text;
}

std::string chain_of(const nlohmann::json& row) {
  const std::string type = text_of(row, "type");
  if (type == "export") {
    std::string what = text_of(row, "level");
    const char* sep = " ";
    if (row.contains("contents") && row["contents"].is_array()) {
      for (const nlohmann::json& c : row["contents"]) {
        what += sep + (c.is_string() ? c.get<std::string>() : std::string("?"));
        sep = ", ";
      }
    }
    return what;
  }
  if (type == "full") return "-";
  if (type == "cumulative") return "full " + text_of(row, "last_full_backup_id");
  return "on " + text_of(row, "last_backup_id");
}

}  // namespace

bool backup_rows(const std::string& resource_uuid, nlohmann::json& rows, std::string& err) {
  nlohmann::json query = {{"sort", "backup_start_time"}, {"order", "asc"}};
  if (!resource_uuid.empty()) query["resource_uuid"] = resource_uuid;
  Catalog_Operator op;
  nlohmann::json result;
  if (!op.get_view("oscar_brcmd", "catalogs", query, result) || !result.is_object() || !result.contains("rows") ||
      !result["rows"].is_array()) {
    err = "cannot read the catalogue: " + (op.error().empty() ? std::string("unexpected answer") : op.error());
    return false;
  }
  rows = result["rows"];
  return true;
}

namespace {

// DATABASE[/SCHEMA[/TABLE]] of one file entry of an export set.
std::string file_contents(const nlohmann::json& f) {
  std::string text = text_of(f, "database");
  for (const char* key : {"schema", "table"}) {
    if (!f.is_object() || !f.contains(key) || !f[key].is_string() || f[key].get<std::string>().empty()) break;
    text += "/" + f[key].get<std::string>();
  }
  return text;
}

}  // namespace

bool export_rows(const std::string& resource_uuid, nlohmann::json& rows, std::string& err) {
  nlohmann::json query = {{"sort", "backup_start_time"}, {"order", "asc"}, {"with_files", "1"}};
  if (!resource_uuid.empty()) query["resource_uuid"] = resource_uuid;
  Catalog_Operator op;
  nlohmann::json result;
  if (!op.get_view("oscar", "catalogs", query, result) || !result.is_object() || !result.contains("rows") ||
      !result["rows"].is_array()) {
    err = "cannot read the catalogue: " + (op.error().empty() ? std::string("unexpected answer") : op.error());
    return false;
  }
  rows = nlohmann::json::array();
  for (nlohmann::json row : result["rows"]) {
    if (!row.is_object()) continue;
    row["backup_id"] = text_of(row, "uuid");
    row["type"] = "export";
    row["level"] = text_of(row, "grade");
    nlohmann::json contents = nlohmann::json::array();
    if (row.contains("backup_files") && row["backup_files"].is_array()) {
      for (const nlohmann::json& f : row["backup_files"]) contents.push_back(file_contents(f));
    }
    row["contents"] = contents;
    rows.push_back(row);
  }
  return true;
}

nlohmann::json merge_by_start_time(const nlohmann::json& a, const nlohmann::json& b) {
  nlohmann::json all = nlohmann::json::array();
  for (const nlohmann::json* part : {&a, &b}) {
    if (!part->is_array()) continue;
    for (const nlohmann::json& row : *part) all.push_back(row);
  }
  auto start = [](const nlohmann::json& row) {
    return row.is_object() && row.contains("backup_start_time") && row["backup_start_time"].is_number_integer()
               ? row["backup_start_time"].get<long long>()
               : 0LL;
  };
  std::stable_sort(all.begin(), all.end(),
                   [&](const nlohmann::json& x, const nlohmann::json& y) { return start(x) < start(y); });
  return all;
}

bool catalog_selection(const std::string& resource_uuid, bool all, nlohmann::json& rows, std::string& err) {
  nlohmann::json physical, exports;
  if (!backup_rows(resource_uuid, physical, err) || !export_rows(resource_uuid, exports, err)) return false;
  rows = merge_by_start_time(physical, exports);
  if (all || !resource_uuid.empty()) return true;
  std::set<std::string> registered;
  for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar")) registered.insert(inst->uuid);
  nlohmann::json kept = nlohmann::json::array();
  for (const nlohmann::json& row : rows)
    if (registered.count(text_of(row, "resource_uuid")) != 0) kept.push_back(row);
  rows = kept;
  return true;
}

bool unregistered_resource(const std::string& uuid, std::string& err) {
  for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar"))
    if (inst->uuid == uuid) return false;
  nlohmann::json physical, exports;
  if (uuid.empty() || !backup_rows(uuid, physical, err) || !export_rows(uuid, exports, err)) return false;
  return !physical.empty() || !exports.empty();
}

bool find_restore_point(const std::string& resource_uuid, const std::string& backup_id, nlohmann::json& row,
                        std::string& err) {
  nlohmann::json rows;
  if (!backup_rows(resource_uuid, rows, err)) return false;
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    if (!it->is_object()) continue;
    if (backup_id.empty() || text_of(*it, "backup_id") == backup_id) {
      row = *it;
      return true;
    }
  }
  err = backup_id.empty() ? "the catalogue holds no backup of this instance"
                          : "the catalogue holds no backup " + backup_id + " of this instance";
  return false;
}

std::string format_catalog_table(const nlohmann::json& rows, const std::map<std::string, std::string>& pool_names) {
  std::vector<std::vector<std::string>> table = {{"ID", "TYPE", "TIME", "SIZE", "POOL", "CHAIN"}};
  for (const nlohmann::json& row : rows) {
    std::string pool = text_of(row, "pool_uuid");
    auto named = pool_names.find(pool);
    if (named != pool_names.end() && !named->second.empty()) pool = named->second;
    table.push_back({text_of(row, "backup_id"), text_of(row, "type"), time_of(row), text_of(row, "backup_set_size"),
                     pool, chain_of(row)});
  }
  std::vector<std::size_t> width(table[0].size(), 0);
  for (const auto& line : table)
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  std::string out;
  for (const auto& line : table) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(width[i] - line[i].size() + 2, ' ');
    }
    out += text + "\n";
  }
  return out;
}
