#include "tests/support/catalogue_records.h"

#include <sqlite3.h>

#include <algorithm>

nlohmann::json catalogue_records(const std::string& state_dir, const std::string& resource_uuid) {
  nlohmann::json rows = nlohmann::json::array();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2((state_dir + "/catalog.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT view, uuid, resource_uuid, record FROM backup_sets ORDER BY seqno", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      const auto text = [&](int i) { return std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i))); };
      if (!resource_uuid.empty() && text(2) != resource_uuid) continue;
      nlohmann::json row = nlohmann::json::parse(text(3), nullptr, false);
      if (!row.is_object()) continue;
      if (text(0) == "oscar") row["backup_id"] = text(1);
      rows.push_back(row);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  std::stable_sort(rows.begin(), rows.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
    return a.value("backup_start_time", 0LL) < b.value("backup_start_time", 0LL);
  });
  return rows;
}
