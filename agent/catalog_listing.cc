#include "agent/catalog_listing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
#include <vector>

#include "agent/job_documents.h"
#include "agent/json_output.h"
#include "agent/pool_lookup.h"
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

// Seconds since the epoch of member `key`, 0 when absent.
std::time_t seconds_of(const nlohmann::json& row, const char* key) {
  return row.is_object() && row.contains(key) && row[key].is_number_integer() ? row[key].get<long long>() : 0;
}

nlohmann::json text_or_null(const nlohmann::json& row, const char* key) {
  const std::string text = text_of(row, key);
  return text == "?" || text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json size_or_null(const nlohmann::json& row, const char* key) {
  return row.is_object() && row.contains(key) && row[key].is_number_unsigned() ? row[key] : nlohmann::json(nullptr);
}

nlohmann::json name_or_null(const std::map<std::string, std::string>& names, const std::string& uuid) {
  const auto it = names.find(uuid);
  return it == names.end() || it->second.empty() ? nlohmann::json(nullptr) : nlohmann::json(it->second);
}

// The stored files of a row, relative to the pool: its folder and each piece.
nlohmann::json files_of(const nlohmann::json& row) {
  nlohmann::json files = nlohmann::json::array();
  const std::string folder = text_of(row, "uri");
  if (!row.is_object() || !row.contains("pieces") || !row["pieces"].is_array()) return files;
  for (const nlohmann::json& piece : row["pieces"]) {
    const std::string name = text_of(piece, "name");
    if (name != "?") files.push_back(folder + "/" + name);
  }
  return files;
}

std::string time_of(std::time_t t) {
  if (t == 0) return "?";
  struct tm tm_buf;
  char text[32];
  if (localtime_r(&t, &tm_buf) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm_buf) == 0)
    return "?";
  return text;
}

std::string shown(const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : std::string("?"); }

std::string size_shown(const nlohmann::json& v, bool raw) {
  return v.is_number_unsigned() ? size_text(v.get<unsigned long long>(), raw) : std::string("?");
}

std::string chain_shown(const nlohmann::json& record) {
  if (shown(record["type"]) == "export") {
    std::string what;
    for (const nlohmann::json& c : record.value("contents", nlohmann::json::array()))
      what += (what.empty() ? "" : ", ") + shown(c);
    return what.empty() ? "?" : what;
  }
  if (shown(record["level"]) == "full") return "-";
  if (shown(record["level"]) == "cumulative") return "full " + shown(record["chain"]);
  return "on " + shown(record["chain"]);
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

bool listing_names(Listing_Names& names, std::string& err) {
  if (!pool_names(names.pools, err)) return false;
  for (const Instance_ptr& i : Instance_Manager::instance()->list("oscar")) names.instances[resource_id(*i)] = i->name;
  return true;
}

nlohmann::json catalog_record(const nlohmann::json& row, const Listing_Names& names) {
  const bool is_export = text_of(row, "type") == "export";
  const std::string level = is_export ? text_of(row, "level") : text_of(row, "type");
  nlohmann::json chain = nullptr;
  if (level == "incremental") chain = text_or_null(row, "last_backup_id");
  if (level == "cumulative") chain = text_or_null(row, "last_full_backup_id");
  nlohmann::json record = {
      {"backup_id", text_or_null(row, "backup_id")},
      {"instance", name_or_null(names.instances, text_of(row, "resource_uuid"))},
      {"instance_uuid", text_or_null(row, "resource_uuid")},
      {"type", is_export ? "export" : "backup"},
      {"level", level == "?" ? nlohmann::json(nullptr) : nlohmann::json(level)},
      {"pool", name_or_null(names.pools, text_of(row, "pool_uuid"))},
      {"pool_uuid", text_or_null(row, "pool_uuid")},
      {"started", iso_time(seconds_of(row, "backup_start_time"))},
      {"ended", iso_time(seconds_of(row, "backup_end_time"))},
      {"size_read", size_or_null(row, "backup_set_size")},
      {"size_stored", size_or_null(row, "backup_set_storage_size")},
      {"chain", chain},
      {"host", text_or_null(row, "host_uuid")},
      {"files", files_of(row)},
  };
  if (is_export) record["contents"] = row.value("contents", nlohmann::json::array());
  return record;
}

std::string format_catalog_table(const nlohmann::json& records, std::time_t now, bool raw) {
  std::vector<std::vector<std::string>> table = {
      {"ID", "INSTANCE", "TYPE", "TIME", "AGE", "READ", "STORED", "POOL", "CHAIN"}};
  for (const nlohmann::json& record : records) {
    if (!record.is_object()) continue;
    const std::string type =
        shown(record["type"]) == "export" ? "export " + shown(record["level"]) : shown(record["level"]);
    std::tm started{};
    std::time_t when = 0;
    if (record["started"].is_string() &&
        strptime(record["started"].get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%SZ", &started) != nullptr)
      when = timegm(&started);
    table.push_back({shown(record["backup_id"]),
                     record["instance"].is_string() ? shown(record["instance"]) : shown(record["instance_uuid"]), type,
                     time_of(when), age_text(when, now), size_shown(record["size_read"], raw),
                     size_shown(record["size_stored"], raw),
                     record["pool"].is_string() ? shown(record["pool"]) : shown(record["pool_uuid"]),
                     chain_shown(record)});
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
