#include "table_data.h"

#include <cstdio>

#include "sim_util.h"

namespace sim {

namespace {

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t u64_of(const json& j, const char* key, uint64_t fallback) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_number_unsigned()) return fallback;
  return j[key].get<uint64_t>();
}

}  // namespace

std::vector<Segment> table_segments(const json& table) {
  std::vector<Segment> out;
  if (table.is_object() && table.contains("segments") && table["segments"].is_array()) {
    for (const auto& s : table["segments"]) out.push_back(Segment{u64_of(s, "seed", 0), u64_of(s, "rows", 0)});
    return out;
  }
  std::string name = table.is_object() ? table.value("name", "") : "";
  out.push_back(Segment{fnv1a(name.data(), name.size()), u64_of(table, "rows", 0)});
  return out;
}

uint64_t table_width(const json& table) {
  uint64_t w = u64_of(table, "width", DEFAULT_ROW_BYTES);
  return w < MIN_ROW_BYTES ? MIN_ROW_BYTES : w > MAX_ROW_BYTES ? MAX_ROW_BYTES : w;
}

uint64_t table_rows(const json& table) {
  uint64_t n = 0;
  for (const Segment& s : table_segments(table)) n += s.rows;
  return n;
}

void set_table_segments(json& table, const std::vector<Segment>& segments) {
  json arr = json::array();
  uint64_t total = 0;
  for (const Segment& s : segments) {
    arr.push_back(json{{"seed", s.seed}, {"rows", s.rows}});
    total += s.rows;
  }
  table["segments"] = arr;
  table["rows"] = total;
}

json make_table(const std::string& name, const std::string& type, uint64_t width,
                const std::vector<Segment>& segments) {
  json t{{"name", name}, {"type", type}, {"width", width}};
  set_table_segments(t, segments);
  return t;
}

void make_row(uint64_t seed, uint64_t index, uint64_t width, std::string& row) {
  uint64_t h = mix(seed ^ mix(index));
  char head[40];
  int n = std::snprintf(head, sizeof head, "%012llu|%016llx|", static_cast<unsigned long long>(index),
                        static_cast<unsigned long long>(h));
  row.assign(head, static_cast<size_t>(n));
  uint64_t x = h;
  while (row.size() < width) {
    x = mix(x);
    for (int b = 0; b < 8 && row.size() < width; ++b)
      row.push_back(static_cast<char>('a' + ((x >> (8 * b)) & 0xff) % 26));
  }
  row.resize(width);
}

uint64_t table_checksum(const json& table) {
  uint64_t h = FNV_OFFSET;
  uint64_t width = table_width(table);
  std::string row;
  for (const Segment& s : table_segments(table)) {
    for (uint64_t i = 0; i < s.rows; ++i) {
      make_row(s.seed, i, width, row);
      row.push_back('\n');
      h = fnv1a(row.data(), row.size(), h);
    }
  }
  return h;
}

bool is_system_schema(const std::string& name) {
  for (const char* sys : {"(null)\\ROOT", "DIRECTORIES", "INFO_SCHEM", "PUBLIC", "REPLICATION", "STAGENT", "SYSAUDIT",
                          "SYSDBA", "SYSFTSDBA", "SYSMONITOR", "SYSSECURE", "SYS_GLOBAL_TEMP", "WMSYS"}) {
    if (name == sys) return true;
  }
  return false;
}

json* find_table(json& tables, const std::string& name) {
  if (!tables.is_array()) return nullptr;
  for (auto& t : tables) {
    if (t.is_object() && t.value("name", "") == name) return &t;
  }
  return nullptr;
}

const json* find_table(const json& tables, const std::string& name) {
  return find_table(const_cast<json&>(tables), name);
}

bool split_table_name(const std::string& qualified, std::string& schema, std::string& table) {
  size_t dot = qualified.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == qualified.size()) return false;
  schema = qualified.substr(0, dot);
  table = qualified.substr(dot + 1);
  return true;
}

}  // namespace sim
