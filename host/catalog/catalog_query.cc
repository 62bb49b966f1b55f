#include "host/catalog/catalog_query.h"

#include <algorithm>
#include <set>

#include "host/jobs/job_def_names.h"
#include "host/jobs/job_types.h"

namespace {

using json = nlohmann::json;

const std::set<std::string> OSCAR_FILTERS = {"uuid",       "definition_uuid", "resource_uuid", "host_uuid", "pool_uuid",
                                             "dbinstance", "grade",           "seq",           "type"};
const std::set<std::string> BRCMD_FILTERS = {"uuid",      "definition_uuid", "resource_uuid", "host_uuid",
                                             "pool_uuid", "backup_id",       "backup_lsn",    "backup_scn",
                                             "type",      "backup_file"};

std::string number_text(const json& v) { return v.dump(); }

bool scalar_equals(const json& member, const json& want) {
  if (member.is_string() && want.is_string()) return member.get<std::string>() == want.get<std::string>();
  if (member.is_number_integer() && want.is_number_integer()) return member == want;
  if (member.is_number() && want.is_string()) return number_text(member) == want.get<std::string>();
  if (member.is_string() && want.is_number_integer()) return member.get<std::string>() == number_text(want);
  if (member.is_boolean() && want.is_boolean()) return member == want;
  return false;
}

bool has_database(const json& row, const std::string& database) {
  const auto files = row.find("backup_files");
  if (files == row.end() || !files->is_array()) return false;
  for (const json& f : *files) {
    if (!f.is_object()) continue;
    const auto db = f.find("database");
    if (db != f.end() && db->is_string() && db->get<std::string>() == database) return true;
  }
  return false;
}

// Order of two member values: missing or null first, then booleans,
// numbers, texts; within a kind the natural order.
int rank(const json* v) {
  if (!v || v->is_null()) return 0;
  if (v->is_boolean()) return 1;
  if (v->is_number()) return 2;
  if (v->is_string()) return 3;
  return 4;
}

__int128 integer_of(const json& v) {
  return v.is_number_unsigned() ? static_cast<__int128>(v.get<unsigned long long>())
                                : static_cast<__int128>(v.get<long long>());
}

bool less_value(const json* a, const json* b) {
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb;
  if (ra == 2) {
    if (a->is_number_integer() && b->is_number_integer()) return integer_of(*a) < integer_of(*b);
    return a->get<double>() < b->get<double>();
  }
  if (ra == 1 || ra == 3) return *a < *b;
  return false;
}

const json* member(const json& row, const std::string& key) {
  const auto it = row.find(key);
  return it == row.end() ? nullptr : &*it;
}

bool text_flag(const json& v, bool& out) {
  if (v.is_boolean()) {
    out = v.get<bool>();
    return true;
  }
  if ((v.is_string() && v.get<std::string>() == "1") || (v.is_number_integer() && v.get<long long>() == 1)) {
    out = true;
    return true;
  }
  if ((v.is_string() && v.get<std::string>() == "0") || (v.is_number_integer() && v.get<long long>() == 0)) {
    out = false;
    return true;
  }
  return false;
}

bool read_order(const json& query, bool& descending, std::string& err) {
  descending = false;
  const auto it = query.find("order");
  if (it == query.end()) return true;
  if (it->is_string() && (it->get<std::string>() == "asc" || it->get<std::string>() == "desc")) {
    descending = it->get<std::string>() == "desc";
    return true;
  }
  err = "\"order\" must be \"asc\" or \"desc\"";
  return false;
}

bool read_limit(const json& query, bool& limited, std::size_t& limit, std::string& err) {
  limited = false;
  const auto it = query.find("limit");
  if (it == query.end()) return true;
  long long v = -1;
  if (it->is_number_integer()) {
    v = it->is_number_unsigned()
            ? static_cast<long long>(std::min<unsigned long long>(it->get<unsigned long long>(), 1ULL << 62))
            : it->get<long long>();
  } else if (it->is_string()) {
    const std::string& s = it->get_ref<const std::string&>();
    if (!s.empty() && s.size() < 18 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
      v = std::stoll(s);
  }
  if (v < 0) {
    err = "\"limit\" must be a non-negative integer";
    return false;
  }
  limited = true;
  limit = static_cast<std::size_t>(v);
  return true;
}

}  // namespace

bool select_catalog_rows(const std::string& view, const std::vector<json>& rows, const json& query, json& result,
                         std::string& err) {
  if (!query.is_object()) {
    err = "the query is not an object";
    return false;
  }
  const bool oscar = view == "oscar";
  if (!oscar && view != "oscar_brcmd") {
    err = "unknown catalogue view '" + view + "'";
    return false;
  }
  const std::set<std::string>& allowed = oscar ? OSCAR_FILTERS : BRCMD_FILTERS;
  std::vector<std::pair<std::string, const json*>> filters;
  std::string database;
  bool by_database = false, with_files = false;
  std::string sort_key;
  for (auto it = query.begin(); it != query.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    if (key == "sort") {
      if (!v.is_string() || v.get<std::string>().empty()) {
        err = "\"sort\" must name a member";
        return false;
      }
      sort_key = v.get<std::string>();
      if (sort_key == "start_time") sort_key = "backup_start_time";
      if (sort_key == "end_time") sort_key = "backup_end_time";
    } else if (key == "order" || key == "limit") {
      continue;
    } else if (oscar && key == "with_files") {
      if (!text_flag(v, with_files)) {
        err = "\"with_files\" must be \"1\" or \"0\"";
        return false;
      }
    } else if (oscar && key == "database") {
      if (!v.is_string()) {
        err = "\"database\" must be a text";
        return false;
      }
      by_database = true;
      database = v.get<std::string>();
    } else if (allowed.count(key)) {
      if (!v.is_string() && !v.is_number_integer() && !v.is_boolean()) {
        err = "filter \"" + key + "\" must be a text, an integer or a boolean";
        return false;
      }
      filters.emplace_back(key, &v);
    } else {
      err = "unknown filter \"" + key + "\" for view '" + view + "'";
      return false;
    }
  }
  bool descending = false, limited = false;
  std::size_t limit = 0;
  if (!read_order(query, descending, err) || !read_limit(query, limited, limit, err)) return false;

  std::vector<const json*> picked;
  for (const json& row : rows) {
    if (!row.is_object()) continue;
    bool keep = !by_database || has_database(row, database);
    for (std::size_t i = 0; keep && i < filters.size(); ++i) {
      const json* m = member(row, filters[i].first);
      keep = m && scalar_equals(*m, *filters[i].second);
    }
    if (keep) picked.push_back(&row);
  }
  if (!sort_key.empty()) {
    std::stable_sort(picked.begin(), picked.end(), [&sort_key](const json* a, const json* b) {
      return less_value(member(*a, sort_key), member(*b, sort_key));
    });
  }
  if (descending) std::reverse(picked.begin(), picked.end());
  if (limited && picked.size() > limit) picked.resize(limit);

  json out = json::array();
  for (const json* row : picked) {
    out.push_back(*row);
    if (oscar && !with_files) out.back().erase("backup_files");
  }
  result = {{"rows", out}};
  return true;
}

namespace {

std::string text_member(const json& row, const char* key) {
  const auto it = row.find(key);
  return it != row.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string parent_backup_id(const json& row) {
  if (!row.is_object()) return std::string();
  const std::string type = text_member(row, "type");
  if (type == job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, "")) return std::string();
  const bool rests_on_full = type == job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_CUMULATIVE, "");
  return text_member(row, rests_on_full ? "full_backup_uuid" : "last_backup_id");
}

bool select_catalog_sequence(const std::vector<json>& rows, const json& query, json& result, std::string& err) {
  if (!query.is_object()) {
    err = "the query is not an object";
    return false;
  }
  std::string backup_id, resource;
  for (auto it = query.begin(); it != query.end(); ++it) {
    const std::string& key = it.key();
    if (key == "order" || key == "sort") continue;
    if ((key == "backup_id" || key == "resource_uuid") && it.value().is_string()) {
      (key == "backup_id" ? backup_id : resource) = it.value().get<std::string>();
      continue;
    }
    err = "unsupported member \"" + key + "\" in a sequence query";
    return false;
  }
  if (backup_id.empty()) {
    err = "a sequence query needs a \"backup_id\" text";
    return false;
  }
  const json* target = nullptr;
  for (const json& row : rows) {
    if (!row.is_object() || text_member(row, "backup_id") != backup_id) continue;
    if (!resource.empty() && text_member(row, "resource_uuid") != resource) continue;
    if (!target || !less_value(member(row, "backup_start_time"), member(*target, "backup_start_time"))) target = &row;
  }
  result = {{"rows", json::array()}};
  if (!target) return true;

  const std::string target_resource = text_member(*target, "resource_uuid");
  const std::string full = job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, "");
  auto find_set = [&](const std::string& id) -> const json* {
    const json* found = nullptr;
    for (const json& row : rows) {
      if (row.is_object() && text_member(row, "backup_id") == id &&
          text_member(row, "resource_uuid") == target_resource)
        found = &row;
    }
    return found;
  };

  std::vector<const json*> chain{target};
  std::set<std::string> seen{backup_id};
  while (text_member(*chain.back(), "type") != full) {
    const json& cur = *chain.back();
    const std::string cur_id = text_member(cur, "backup_id");
    const std::string prev_id = parent_backup_id(cur);
    const json* prev = prev_id.empty() ? nullptr : find_set(prev_id);
    if (!prev) {
      err = "backup chain of " + backup_id + " is broken: set " + cur_id + " rests on " +
            (prev_id.empty() ? std::string("nothing") : "missing set " + prev_id);
      return false;
    }
    if (!seen.insert(prev_id).second) {
      err = "backup chain of " + backup_id + " is broken: set " + prev_id + " appears twice";
      return false;
    }
    chain.push_back(prev);
  }
  json out = json::array();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) out.push_back(**it);
  result = {{"rows", out}};
  return true;
}
