#include "agent/set_removal.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "agent/json_output.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/catalog_query.h"
#include "host/catalog/set_manifest.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

std::string row_text(const nlohmann::json& row, const char* key) {
  const auto it = row.is_object() ? row.find(key) : row.end();
  return row.is_object() && it != row.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long long row_start_time(const nlohmann::json& row) {
  const auto it = row.is_object() ? row.find("backup_start_time") : row.end();
  return row.is_object() && it != row.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

namespace {

// A physical set's place in its resource's chains.
std::string chain_key(const std::string& resource, const std::string& backup_id) { return resource + "\n" + backup_id; }

// The stored files of one set and the folder that holds them.
struct Stored_Files {
  std::string url;
  Client_IO_Base::Options options;
  std::vector<std::string> names;
};

bool locate(const Catalogued_Set& set, Stored_Files& out, std::string& why) {
  out.names = set_files(set.row);
  if (out.names.empty()) {
    why = "its catalogue row names no stored file";
    return false;
  }
  return set_location(set.row, out.url, out.options, why);
}

// Whether every stored file of the set can be removed; sizes them too.
bool probe(const Stored_Files& files, unsigned long long& size, std::string& why) {
  Client_IO_Ex io;
  if (!io.connect(files.url, files.options)) {
    why = io.error();
    return false;
  }
  size = 0;
  for (const std::string& name : files.names) {
    if (!io.removable(name.c_str())) {
      why = io.error();
      return false;
    }
    unsigned long long one = 0;
    if (io.stored_size(name.c_str(), one) == 1) size += one;
  }
  return true;
}

// Removes the stored files; `missing` names those that were gone already.
bool remove_files(const Stored_Files& files, std::vector<std::string>& missing, std::string& why) {
  Client_IO_Ex io;
  if (!io.connect(files.url, files.options)) {
    why = io.error();
    return false;
  }
  for (const std::string& name : files.names) {
    bool gone = false;
    if (!io.remove(name.c_str(), &gone)) {
      why = io.error();
      return false;
    }
    if (gone) missing.push_back(files.url.substr(7) + "/" + name);
  }
  return true;
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool lock_seconds_option(const Command_Line& line, int& out, std::string& err) {
  out = 60;
  const std::string t = option_value(line, "timeout");
  if (t.empty()) return true;
  char* end = nullptr;
  const long v = std::strtol(t.c_str(), &end, 10);
  if (*end != '\0' || v <= 0 || v > 7 * 24 * 3600) {
    err = "--timeout must be a number of seconds between 1 and 604800";
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool lock_resources(const std::set<std::string>& resources, const std::string& holder, int seconds,
                    std::vector<std::unique_ptr<Job_Lock>>& locks, std::string& err) {
  locks.clear();
  for (const std::string& r : resources) {
    std::unique_ptr<Job_Lock> lock(new Job_Lock(r, holder, ACE_Time_Value(seconds)));
    if (!lock->locked()) {
      err = "a job is using the backups of " + r + ": " + lock->error();
      locks.clear();
      return false;
    }
    locks.push_back(std::move(lock));
  }
  return true;
}

std::string set_id(const Catalogued_Set& set) {
  return row_text(set.row, set.view == "oscar_brcmd" ? "backup_id" : "uuid");
}

Removal_Result remove_sets(const std::vector<Catalogued_Set>& doomed, const nlohmann::json& chains, bool dry_run) {
  // Which rows rest on which set, over every physical row given.
  std::map<std::string, std::vector<std::string>> children;
  std::map<std::string, std::string> parent;
  if (chains.is_array()) {
    for (const nlohmann::json& row : chains) {
      const std::string up = parent_backup_id(row);
      if (up.empty()) continue;
      const std::string resource = row_text(row, "resource_uuid");
      const std::string self = chain_key(resource, row_text(row, "backup_id"));
      children[chain_key(resource, up)].push_back(self);
      parent[self] = chain_key(resource, up);
    }
  }

  struct Entry {
    const Catalogued_Set* set;
    std::string key;  // chain_key of a physical set, empty for an export
    std::size_t depth = 0;
    Stored_Files files;
    Set_Outcome outcome;
    bool blocked = false;
  };
  std::vector<Entry> entries;
  std::map<std::string, std::size_t> by_key;
  for (const Catalogued_Set& set : doomed) {
    Entry e;
    e.set = &set;
    const bool physical = set.view == "oscar_brcmd";
    if (physical) e.key = chain_key(row_text(set.row, "resource_uuid"), set_id(set));
    e.outcome.id = set_id(set);
    e.outcome.type = physical ? row_text(set.row, "type") : "export";
    e.outcome.start_time = row_start_time(set.row);
    if (physical && by_key.count(e.key) != 0) continue;  // listed twice: dealt with once
    if (physical) by_key[e.key] = entries.size();
    entries.push_back(e);
  }
  // Depth in its chain (a full is 0), bounded by the rows given, so that a
  // looping chain cannot hold the walk.
  for (Entry& e : entries) {
    std::string at = e.key;
    while (!at.empty() && e.depth <= parent.size()) {
      const auto up = parent.find(at);
      if (up == parent.end()) break;
      at = up->second;
      ++e.depth;
    }
  }

  Removal_Result result;
  // Every stored file is checked before anything goes: a set whose file
  // cannot be removed keeps its row, and so does every set resting on it.
  for (Entry& e : entries) {
    std::string why;
    if (!locate(*e.set, e.files, why) || !probe(e.files, e.outcome.freed, why)) {
      e.blocked = true;
      e.outcome.note = why;
      ++result.failures;
    }
  }
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return entries[a].depth != entries[b].depth ? entries[a].depth < entries[b].depth
                                                : entries[a].outcome.start_time < entries[b].outcome.start_time;
  });
  for (std::size_t i : order) {
    Entry& e = entries[i];
    if (e.blocked || e.key.empty()) continue;
    const auto up = parent.find(e.key);
    if (up == parent.end()) continue;
    const auto p = by_key.find(up->second);
    if (p != by_key.end() && entries[p->second].blocked) {
      e.blocked = true;
      e.outcome.note = "it rests on " + entries[p->second].outcome.id + ", which is kept";
    }
  }

  // Children first: the deepest sets, newest first, then up their chains.
  std::set<std::string> gone;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    Entry& e = entries[*it];
    Set_Outcome& out = e.outcome;
    if (!e.blocked && !e.key.empty()) {
      std::size_t staying = 0;
      const auto kids = children.find(e.key);
      if (kids != children.end())
        for (const std::string& k : kids->second) staying += gone.count(k) == 0 ? 1 : 0;
      if (staying != 0) {
        e.blocked = true;
        out.note = plural(staying, "set that is kept rests", "sets that are kept rest") + " on it";
      }
    }
    if (e.blocked) {
      out.status = Set_Outcome::KEPT;
      out.freed = 0;
      result.sets.push_back(out);
      continue;
    }
    if (dry_run) {
      out.status = Set_Outcome::WOULD_REMOVE;
    } else {
      // The row goes first, then the manifest, then the files: whatever
      // stops the removal half-way leaves files that no manifest
      // describes, which `pool clean` finds, never a record of a set
      // that is gone.
      Catalog_Operator op;
      const int removed = op.remove(e.set->view, row_text(e.set->row, "uuid"));
      if (removed < 0) {
        out.status = Set_Outcome::KEPT;
        out.freed = 0;
        out.note = "its catalogue row could not be removed: " + op.error();
        ++result.failures;
        result.sets.push_back(out);
        continue;
      }
      std::vector<std::string> missing;
      std::string why;
      if (!remove_manifest(e.set->row, why) || !remove_files(e.files, missing, why)) {
        out.note =
            "its catalogue row was removed but not all of its stored files: " + why + " (pool clean removes them)";
        ++result.failures;
      }
      out.status = Set_Outcome::REMOVED;
      for (const std::string& m : missing)
        out.note += (out.note.empty() ? "" : "; ") + ("its stored file " + m + " was already missing");
      if (removed == 0) out.note += (out.note.empty() ? "" : "; ") + std::string("its row was already gone");
    }
    if (!e.key.empty()) gone.insert(e.key);
    ++result.removed;
    result.freed += out.freed;
    result.sets.push_back(out);
  }
  return result;
}

std::string outcome_line(const Set_Outcome& outcome) {
  static const char* const verbs[] = {"removed", "would remove", "kept"};
  std::string time = "?";
  const std::time_t t = static_cast<std::time_t>(outcome.start_time);
  struct tm tm_buf;
  char text[32];
  if (localtime_r(&t, &tm_buf) != nullptr && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm_buf) != 0)
    time = text;
  std::string line = std::string(verbs[outcome.status]) + " " + outcome.id + " (" +
                     (outcome.type.empty() ? "?" : outcome.type) + " of " + time;
  if (outcome.status != Set_Outcome::KEPT) line += ", " + size_text(outcome.freed, false);
  line += ")";
  if (!outcome.note.empty()) line += (outcome.status == Set_Outcome::KEPT ? ": " : "; ") + outcome.note;
  return line;
}

std::string summary_line(const Removal_Result& result, bool dry_run) {
  const std::string sets = plural(result.removed, "set", "sets");
  const std::string bytes = size_text(result.freed, false);
  return dry_run ? "would remove " + sets + ", freeing " + bytes + " (dry run: nothing changed)"
                 : "removed " + sets + ", freed " + bytes;
}

nlohmann::json removal_json(const Removal_Result& result, bool dry_run) {
  static const char* const states[] = {"removed", "would remove", "kept"};
  nlohmann::json sets = nlohmann::json::array();
  for (const Set_Outcome& o : result.sets)
    sets.push_back({{"backup_id", o.id},
                    {"type", o.type},
                    {"started", iso_time(o.start_time)},
                    {"status", states[o.status]},
                    {"freed_bytes", o.freed},
                    {"note", o.note}});
  return {{"dry_run", dry_run}, {"removed", result.removed}, {"freed_bytes", result.freed}, {"sets", sets}};
}
