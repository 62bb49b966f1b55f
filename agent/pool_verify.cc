// verify --pool: a pool-wide check of this host's sets, by the manifests
// that are the pool's record of them.

#include <cstdio>
#include <set>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/pool_scan.h"
#include "agent/set_verify.h"
#include "agent/state_dir.h"

namespace {

using json = nlohmann::json;

struct Verify_Counts {
  std::size_t ok = 0, problems = 0;
};

void problem(Verify_Counts& counts, const std::string& text) {
  ++counts.problems;
  std::printf("%s\n", text.c_str());
}

std::string described(const Found_Manifest& f) {
  const Set_Manifest& m = f.manifest;
  return f.name + " (set " + manifest_set_id(m) + " of " + (m.instance_name.empty() ? "?" : m.instance_name) + ")";
}

// The manifests of this host's sets: readable, set whole, digest right.
void check_manifests(const Pool_Info& pool, const Pool_Scan& scan, const Host_Part& part, const std::string& host_id,
                     Verify_Counts& counts) {
  for (const Found_Manifest& f : scan.manifests) {
    if (!f.readable) {
      if (part.holds(f.name)) problem(counts, "DAMAGED " + f.name + ": " + f.error);
      continue;
    }
    if (!of_host(f.manifest, host_id, "")) continue;
    std::string why;
    if (!set_present(scan, f, why)) {
      problem(counts, "MISSING " + described(f) + ": " + why);
    } else if (!verify_set_digest(pool, f, why)) {
      problem(counts, "MISMATCH " + described(f) + ": " + why);
    } else {
      ++counts.ok;
      std::printf("ok %s\n", described(f).c_str());
    }
  }
}

// Every set this agent catalogues in the pool has its manifest there.
bool check_catalogued(const Pool_Info& pool, const Pool_Scan& scan, Verify_Counts& counts, std::string& err) {
  std::set<std::string> names;
  for (const Found_Manifest& f : scan.manifests) names.insert(f.name);
  json physical, exports;
  if (!backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  for (const json* rows : {&physical, &exports}) {
    for (const json& row : *rows) {
      if (row.value("pool_uuid", std::string()) != pool.uuid) continue;
      const std::string name = row.value("uri", std::string()) + "/" + manifest_name(row.value("uuid", std::string()));
      if (names.count(name) == 0)
        problem(counts, "NO MANIFEST for catalogued set " + row.value("backup_id", std::string("?")) + ": " + name +
                            " is not in the pool");
    }
  }
  return true;
}

}  // namespace

int verify_pool_command(const std::string& state, const std::string& pool_name) {
  std::string err;
  if (!open_state_dir(state, err)) return fail(EXIT_FAILED, err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return fail(EXIT_FAILED, "verify: " + err);
  Pool_Info pool;
  if (!find_pool(pool_name, pool, err)) return fail(EXIT_FAILED, "verify: " + err);
  Pool_Scan scan;
  if (!scan_pool(pool, scan, err)) return fail(EXIT_FAILED, "verify: " + err);
  Verify_Counts counts;
  if (scan.wrong_key()) {
    problem(counts, "WRONG KEY: none of the " + std::to_string(scan.manifests.size()) + " manifests of pool " +
                        pool.name + " can be decrypted with its key");
  } else {
    check_manifests(pool, scan, host_part(scan, host_id, ""), host_id, counts);
  }
  if (!check_catalogued(pool, scan, counts, err)) return fail(EXIT_FAILED, "verify: " + err);
  std::printf("verify %s: %zu %s ok, %zu %s\n", pool.name.c_str(), counts.ok, counts.ok == 1 ? "set" : "sets",
              counts.problems, counts.problems == 1 ? "problem" : "problems");
  std::fflush(stdout);
  return counts.problems == 0 ? EXIT_OK : EXIT_FAILED;
}
