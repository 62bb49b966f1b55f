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

std::string described(const Found_Manifest& f) {
  const Set_Manifest& m = f.manifest;
  return f.name + " (set " + manifest_set_id(m) + " of " + (m.instance_name.empty() ? "?" : m.instance_name) + ")";
}

json text_or_null(const std::string& text) { return text.empty() ? json() : json(text); }

// One entry of the --json document: what is known of the set and what
// became of it.
json set_entry(const Pool_Info& pool, const std::string& backup_id, const std::string& instance,
               const std::string& file, const char* result, const std::string& reason) {
  return {{"backup_id", text_or_null(backup_id)},
          {"instance", text_or_null(instance)},
          {"pool", pool.name},
          {"file", text_or_null(file)},
          {"result", result},
          {"reason", reason},
          {"size_stored", nullptr},
          {"size_found", nullptr}};
}

// The manifests of this host's sets: readable, set whole, digest right.
void check_manifests(const Pool_Info& pool, const Pool_Scan& scan, const Host_Part& part, const std::string& host_id,
                     Verify_Listing& listing) {
  for (const Found_Manifest& f : scan.manifests) {
    if (!f.readable) {
      if (part.holds(f.name))
        listing.add(true, "DAMAGED " + f.name + ": " + f.error, set_entry(pool, "", "", f.name, "DAMAGED", f.error));
      continue;
    }
    if (!of_host(f.manifest, host_id, "")) continue;
    const std::string id = manifest_set_id(f.manifest), instance = f.manifest.instance_name;
    std::string why;
    if (!set_present(scan, f, why)) {
      listing.add(true, "MISSING " + described(f) + ": " + why, set_entry(pool, id, instance, f.name, "MISSING", why));
    } else if (!verify_set_digest(pool, f, why)) {
      listing.add(true, "MISMATCH " + described(f) + ": " + why,
                  set_entry(pool, id, instance, f.name, "MISMATCH", why));
    } else {
      listing.add(false, "ok " + described(f), set_entry(pool, id, instance, f.name, "ok", ""));
    }
  }
}

// Every set this agent catalogues in the pool has its manifest there.
bool check_catalogued(const Pool_Info& pool, const Pool_Scan& scan, Verify_Listing& listing, std::string& err) {
  std::set<std::string> names;
  for (const Found_Manifest& f : scan.manifests) names.insert(f.name);
  json physical, exports;
  if (!backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  for (const json* rows : {&physical, &exports}) {
    for (const json& row : *rows) {
      if (row.value("pool_uuid", std::string()) != pool.uuid) continue;
      const std::string name = row.value("uri", std::string()) + "/" + manifest_name(row.value("uuid", std::string()));
      if (names.count(name) != 0) continue;
      const std::string id = row.value("backup_id", std::string("?"));
      listing.add(true, "NO MANIFEST for catalogued set " + id + ": " + name + " is not in the pool",
                  set_entry(pool, id, "", name, "NO MANIFEST", name + " is not in the pool"));
    }
  }
  return true;
}

}  // namespace

int verify_pool_command(const std::string& state, const std::string& pool_name, bool json_output) {
  std::string err;
  if (!open_state_dir(state, err)) return fail(EXIT_FAILED, err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return fail(EXIT_FAILED, "verify: " + err);
  Pool_Info pool;
  if (!find_pool(pool_name, pool, err)) return fail(EXIT_FAILED, "verify: " + err);
  Pool_Scan scan;
  if (!scan_pool(pool, scan, err)) return fail(EXIT_FAILED, "verify: " + err);
  Verify_Listing listing(json_output, nullptr, pool.name);
  if (scan.wrong_key()) {
    const std::string why = "none of the " + std::to_string(scan.manifests.size()) + " manifests of pool " + pool.name +
                            " can be decrypted with its key";
    listing.add(true, "WRONG KEY: " + why, set_entry(pool, "", "", "", "WRONG KEY", why));
  } else {
    check_manifests(pool, scan, host_part(scan, host_id, ""), host_id, listing);
  }
  if (!check_catalogued(pool, scan, listing, err)) return fail(EXIT_FAILED, "verify: " + err);
  const std::size_t ok = listing.ok(), problems = listing.problems();
  return listing.finish("verify " + pool.name + ": " + std::to_string(ok) + (ok == 1 ? " set" : " sets") + " ok, " +
                        std::to_string(problems) + (problems == 1 ? " problem" : " problems"));
}
