// catalog rebuild: the catalogue made again from the manifests of the
// registered pools, which are the record of what each pool holds.

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/pool_scan.h"
#include "agent/state_dir.h"
#include "host/catalog/catalog_operator.h"
#include "host/services/instance_manager.h"

namespace {

using json = nlohmann::json;

// What became of one manifest.
struct Rebuild_Line {
  std::string pool, manifest, id, instance, host, status, note;
};

struct Rebuild_Counts {
  std::size_t added = 0, known = 0, damaged = 0, missing = 0, other_host = 0, unregistered = 0;
};

// A set to adopt: its view and its row as it will be catalogued.
struct Adoption {
  std::string view;
  json row;
  Rebuild_Line line;
};

std::string text_of(const json& o, const char* key) {
  const auto it = o.is_object() ? o.find(key) : o.end();
  return o.is_object() && it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The row re-pointed at this agent's registrations: the instance
// registered here under the manifest's instance name, the pool registered
// here under this pool's URL.
json adopted_row(const Set_Manifest& m, const Instance& inst, const Pool_Info& pool) {
  json row = m.row;
  const std::string old_pool = text_of(row, "pool_uuid");
  row["resource_uuid"] = inst.uuid;
  row["pool_uuid"] = pool.uuid;
  if (row.contains("storages") && row["storages"].is_array())
    for (json& s : row["storages"])
      if (s.is_object() && text_of(s, "pool_uuid") == old_pool) s["pool_uuid"] = pool.uuid;
  return row;
}

// Files named by the manifests of more than one set: a manifest that names
// another set's file must not be adopted as the record of that file. The
// rows of one export set (same backup_set_uuid) may share their files.
std::map<std::string, std::set<std::string>> file_claims(const Pool_Scan& scan) {
  std::map<std::string, std::set<std::string>> claims;
  for (const Found_Manifest& f : scan.manifests) {
    if (!f.readable) continue;
    std::string owner = text_of(f.manifest.row, "backup_set_uuid");
    if (owner.empty()) owner = text_of(f.manifest.row, "uuid");
    for (const std::string& name : manifest_files(f)) claims[name].insert(owner);
  }
  return claims;
}

// Sorts one pool's manifests into lines and adoptions.
void sort_pool(const Pool_Info& pool, const Pool_Scan& scan, const Command_Line& line, const std::string& host_id,
               std::vector<Rebuild_Line>& lines, std::vector<Adoption>& adopt, Rebuild_Counts& counts) {
  const std::string from_host = option_value(line, "from-host");
  const bool verify = line.flags.count("verify") != 0;
  if (scan.wrong_key()) {
    lines.push_back({pool.name, "", "", "", "", "damaged",
                     "wrong cipher key: none of its " + std::to_string(scan.manifests.size()) +
                         " manifests can be decrypted with the pool's key"});
    counts.damaged += scan.manifests.size();
    return;
  }
  const auto claims = file_claims(scan);
  for (const Found_Manifest& f : scan.manifests) {
    Rebuild_Line l{pool.name, f.name, "", "", "", "", ""};
    if (!f.readable) {
      l.status = "damaged";
      l.note = f.error;
      ++counts.damaged;
      lines.push_back(l);
      continue;
    }
    const Set_Manifest& m = f.manifest;
    l.id = manifest_set_id(m);
    l.instance = m.instance_name;
    l.host = m.host_name.empty() ? m.host_id : m.host_name + " (" + m.host_id + ")";
    std::string why;
    for (const std::string& name : manifest_files(f)) {
      const auto c = claims.find(name);
      if (c != claims.end() && c->second.size() > 1)
        why = "its stored file " + name + " is named by another set's manifest too";
    }
    if (!why.empty()) {
      l.status = "damaged";
      l.note = why;
      ++counts.damaged;
    } else if (!set_present(scan, f, why) || (verify && !verify_set_digest(pool, f, why))) {
      l.status = "missing";
      l.note = why;
      ++counts.missing;
    } else if (!of_host(m, host_id, from_host)) {
      l.status = "other host";
      l.note = "written by another host; --from-host " + (m.host_name.empty() ? m.host_id : m.host_name) + " adopts it";
      ++counts.other_host;
    } else {
      const Instance_ptr inst = Instance_Manager::instance()->find("oscar", m.instance_name);
      if (!inst) {
        l.status = "unregistered";
        l.note = "instance \"" + m.instance_name + "\" is not registered here (instance add registers it)";
        ++counts.unregistered;
      } else {
        adopt.push_back({m.view, adopted_row(m, *inst, pool), l});
        continue;
      }
    }
    lines.push_back(l);
  }
}

long long time_of(const json& row, const char* key) {
  const auto it = row.find(key);
  return it != row.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

// The order in which the sets were committed, as far as the rows tell: by
// start, then end second, then id (a physical set's id counts up within a
// second), so that sets taken within one second keep their chain order.
bool committed_before(const json& a, const json& b) {
  const auto key = [](const json& row) {
    return std::make_tuple(time_of(row, "backup_start_time"), time_of(row, "backup_end_time"),
                           text_of(row, "backup_id"), text_of(row, "uuid"));
  };
  return key(a) < key(b);
}

json line_json(const Rebuild_Line& l) {
  return {{"pool", l.pool}, {"manifest", l.manifest}, {"backup_id", l.id}, {"instance", l.instance},
          {"host", l.host}, {"status", l.status},     {"note", l.note}};
}

std::string summary(const Rebuild_Counts& c) {
  return "rebuild: " + std::to_string(c.added) + " added, " + std::to_string(c.known) + " already known, " +
         std::to_string(c.damaged) + " damaged, " + std::to_string(c.missing) + " missing, " +
         std::to_string(c.other_host) + " of other hosts, " + std::to_string(c.unregistered) +
         " of instances not registered here";
}

}  // namespace

int catalog_rebuild_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return fail(EXIT_FAILED, "catalog rebuild: " + err);
  std::vector<Pool_Info> pools;
  if (!list_pools(pools)) return fail(EXIT_FAILED, "catalog rebuild: cannot read the pool registry");
  const std::string only = option_value(line, "pool");
  if (!only.empty()) {
    std::string uuid;
    if (!find_pool_uuid(only, uuid, err)) return fail(EXIT_FAILED, "catalog rebuild: " + err);
    pools.erase(std::remove_if(pools.begin(), pools.end(), [&](const Pool_Info& p) { return p.uuid != uuid; }),
                pools.end());
  }
  std::vector<Rebuild_Line> lines;
  std::vector<Adoption> adopt;
  Rebuild_Counts counts;
  for (const Pool_Info& pool : pools) {
    Pool_Scan scan;
    if (!scan_pool(pool, scan, err)) return fail(EXIT_FAILED, "catalog rebuild: " + err);
    sort_pool(pool, scan, line, host_id, lines, adopt, counts);
  }
  // Oldest first, so that the catalogue lists the sets in the order they
  // were taken, as it did before.
  std::stable_sort(adopt.begin(), adopt.end(),
                   [](const Adoption& a, const Adoption& b) { return committed_before(a.row, b.row); });
  std::vector<std::pair<std::string, json>> rows;
  for (const Adoption& a : adopt) rows.emplace_back(a.view, a.row);
  std::vector<int> added;
  Catalog_Operator op;
  if (!op.adopt_all(rows, added)) return fail(EXIT_FAILED, "catalog rebuild: " + op.error());
  for (std::size_t i = 0; i < adopt.size(); ++i) {
    adopt[i].line.status = added[i] ? "added" : "known";
    ++(added[i] ? counts.added : counts.known);
    lines.push_back(adopt[i].line);
  }
  const bool bad = counts.damaged + counts.missing != 0;
  if (line.flags.count("json") != 0) {
    json sets = json::array();
    for (const Rebuild_Line& l : lines) sets.push_back(line_json(l));
    const json doc = {{"added", counts.added},
                      {"known", counts.known},
                      {"damaged", counts.damaged},
                      {"missing", counts.missing},
                      {"other_host", counts.other_host},
                      {"unregistered", counts.unregistered},
                      {"sets", sets}};
    std::printf("%s\n", doc.dump(2).c_str());
  } else {
    for (const Rebuild_Line& l : lines) {
      if (l.status == "added" || l.status == "known") continue;
      std::printf("%s %s%s%s: %s\n", l.status.c_str(), l.pool.c_str(), l.manifest.empty() ? "" : ":",
                  l.manifest.c_str(), l.note.c_str());
    }
    std::printf("%s\n", summary(counts).c_str());
  }
  std::fflush(stdout);
  return bad ? EXIT_FAILED : EXIT_OK;
}
