#include "agent/retention.h"

#include <algorithm>
#include <map>
#include <set>

#include "host/catalog/catalog_query.h"

namespace {

bool in_pool(const nlohmann::json& row, const Retention_Rule& rule) {
  return rule.pool_uuid.empty() || row_text(row, "pool_uuid") == rule.pool_uuid;
}

// The backup id of the full backup whose chain the row belongs to, by its
// recorded links; empty when they lead nowhere (a missing or looping link).
std::string chain_root(const nlohmann::json& row, const std::map<std::string, const nlohmann::json*>& by_id) {
  const nlohmann::json* at = &row;
  std::set<std::string> seen;
  for (;;) {
    const std::string id = row_text(*at, "backup_id");
    if (!seen.insert(id).second) return std::string();
    const std::string up = parent_backup_id(*at);
    if (up.empty()) return row_text(*at, "type") == "full" ? id : std::string();
    const auto next = by_id.find(up);
    if (next == by_id.end()) return std::string();
    at = next->second;
  }
}

}  // namespace

std::vector<Catalogued_Set> expired_sets(const nlohmann::json& physical, const nlohmann::json& exports,
                                         const Retention_Rule& rule) {
  std::vector<Catalogued_Set> out;
  std::map<std::string, const nlohmann::json*> by_id;
  std::vector<const nlohmann::json*> fulls;
  if (physical.is_array()) {
    // A backup id committed twice: the later record is the one in force,
    // as for a restore.
    for (const nlohmann::json& row : physical) by_id[row_text(row, "backup_id")] = &row;
    for (const nlohmann::json& row : physical)
      if (row_text(row, "type") == "full" && in_pool(row, rule) && by_id[row_text(row, "backup_id")] == &row)
        fulls.push_back(&row);
  }
  if (rule.keep_full == 0 && physical.is_array()) {
    for (const nlohmann::json& row : physical)
      if (by_id[row_text(row, "backup_id")] == &row && in_pool(row, rule)) out.push_back({"oscar_brcmd", row});
  } else if (fulls.size() > rule.keep_full) {
    std::set<std::string> expired_roots;
    for (std::size_t i = 0; i + rule.keep_full < fulls.size(); ++i)
      expired_roots.insert(row_text(*fulls[i], "backup_id"));
    long long cutoff = row_start_time(*fulls[fulls.size() - rule.keep_full]);
    for (std::size_t i = fulls.size() - rule.keep_full; i < fulls.size(); ++i)
      cutoff = std::min(cutoff, row_start_time(*fulls[i]));
    for (const nlohmann::json& row : physical) {
      if (by_id[row_text(row, "backup_id")] != &row || !in_pool(row, rule) || row_start_time(row) > cutoff) continue;
      if (expired_roots.count(chain_root(row, by_id)) != 0) out.push_back({"oscar_brcmd", row});
    }
  }
  if (rule.expire_exports && exports.is_array()) {
    std::vector<const nlohmann::json*> mine;
    for (const nlohmann::json& row : exports)
      if (in_pool(row, rule)) mine.push_back(&row);
    for (std::size_t i = 0; i + rule.keep_export < mine.size(); ++i) out.push_back({"oscar", *mine[i]});
  }
  return out;
}
