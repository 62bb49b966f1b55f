// pool clean: removes from this host's part of a pool what no manifest
// describes (set files a crash or a stopped removal left, writers'
// temporary files, unfinished uploads) and the manifests of sets that are
// gone. Anything younger than the grace time is left alone, so that a set
// another agent is writing right now (its files stored, its manifest not
// yet) is never touched.

#include <cstdio>
#include <ctime>
#include <set>

#include "agent/agent_config.h"
#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/pool_scan.h"
#include "agent/state_dir.h"
#include "host/storage/client_io_ex.h"

namespace {

using json = nlohmann::json;

// The grace time when --older-than is not given: one day.
const long long DEFAULT_GRACE_SECONDS = 24 * 3600;

// One thing to remove.
struct Clean_Item {
  Stored_Entry entry;
  std::string kind;
  std::string status;  // "removed", "would remove" or "failed"
  std::string error;
};

struct Clean_Plan {
  std::vector<Clean_Item> items;
  std::size_t young = 0;       // left: younger than the grace time
  std::size_t unreadable = 0;  // left: in a folder whose manifest cannot be read
  bool uploads_listed = true;
  std::string uploads_note;
};

// Whether a file is younger than the grace time; one of unknown age counts
// as young unless the grace time is 0.
bool young(const Stored_Entry& e, long long grace, std::time_t now) {
  if (grace == 0) return false;
  return e.mtime == 0 || now - e.mtime < grace;
}

// The folders that hold a manifest the scan could not read: what lies there
// may be the set it describes, so it is left alone.
std::set<std::string> unreadable_folders(const Pool_Scan& scan) {
  std::set<std::string> folders;
  for (const Found_Manifest& f : scan.manifests)
    if (!f.readable) folders.insert(folder_of(f.name));
  return folders;
}

std::string without_slash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// The uuids of the registered pools that store at the pool's URL (it may be
// registered under several names).
bool pools_at(const Pool_Info& pool, std::set<std::string>& uuids, std::string& err) {
  std::vector<Pool_Info> pools;
  if (!list_pools(pools)) {
    err = "cannot read the pool registry " + pool_registry_path();
    return false;
  }
  uuids.insert(pool.uuid);
  for (const Pool_Info& p : pools)
    if (without_slash(p.url) == without_slash(pool.url)) uuids.insert(p.uuid);
  return true;
}

// Files that a readable manifest of any host names, or a row of this
// agent's catalogue (a set catalogued before sets had manifests has none).
bool described_files(const Pool_Scan& scan, const Pool_Info& pool, std::set<std::string>& names, std::string& err) {
  for (const Found_Manifest& f : scan.manifests)
    if (f.readable)
      for (const std::string& name : manifest_files(f)) names.insert(name);
  std::set<std::string> uuids;
  json physical, exports;
  if (!pools_at(pool, uuids, err) || !backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  for (const json* rows : {&physical, &exports})
    for (const json& row : *rows)
      if (uuids.count(row.value("pool_uuid", std::string())) != 0)
        for (const std::string& file : set_files(row)) names.insert(row.value("uri", std::string()) + "/" + file);
  return true;
}

// Adds an entry of this host's part, unless it is young or lies beside an
// unreadable manifest.
void consider(const Stored_Entry& e, const std::string& kind, const Host_Part& part,
              const std::set<std::string>& unreadable, long long grace, std::time_t now, Clean_Plan& plan) {
  if (!part.holds(e.name)) return;
  if (unreadable.count(folder_of(e.name)) != 0) {
    ++plan.unreadable;
  } else if (young(e, grace, now)) {
    ++plan.young;
  } else {
    plan.items.push_back({e, kind, "", ""});
  }
}

// Whether none of the files of a readable manifest's set is stored.
bool set_gone(const Pool_Scan& scan, const Found_Manifest& f) {
  for (const std::string& name : manifest_files(f))
    if (scan.find(name) != nullptr) return false;
  return true;
}

bool plan_files(const Pool_Scan& scan, const Pool_Info& pool, const Host_Part& part, long long grace, std::time_t now,
                Clean_Plan& plan, std::string& err) {
  const std::set<std::string> unreadable = unreadable_folders(scan);
  std::set<std::string> described;
  if (!described_files(scan, pool, described, err)) return false;
  for (const Stored_Entry& e : scan.entries) {
    if (e.temporary)
      consider(e, "temporary file of a dead writer", part, unreadable, grace, now, plan);
    else if (!is_manifest_name(e.name) && described.count(e.name) == 0)
      consider(e, "orphan set file", part, unreadable, grace, now, plan);
  }
  for (const Found_Manifest& f : scan.manifests) {
    const Stored_Entry* e = scan.find(f.name);
    if (e == nullptr || !f.readable || !part.holds(f.name) || !set_gone(scan, f)) continue;
    if (young(*e, grace, now))
      ++plan.young;
    else
      plan.items.push_back({*e, "manifest of a set that is gone", "", ""});
  }
  return true;
}

void plan_uploads(Client_IO_Ex& io, const Pool_Info& pool, const Host_Part& part, long long grace, std::time_t now,
                  Clean_Plan& plan) {
  std::vector<Stored_Entry> uploads;
  const int listed = io.list_uploads(uploads);
  if (listed != 1) {
    plan.uploads_listed = false;
    plan.uploads_note = "pool " + pool.name + ": unfinished multipart uploads not looked for: " +
                        (listed == 0 ? "the service does not offer their listing (" + std::string(io.error()) + ")"
                                     : std::string(io.error()));
    return;
  }
  for (const Stored_Entry& e : uploads) consider(e, "stray multipart upload", part, {}, grace, now, plan);
}

void carry_out(Client_IO_Ex& io, bool dry_run, Clean_Plan& plan) {
  for (Clean_Item& item : plan.items) {
    if (dry_run) {
      item.status = "would remove";
    } else if (io.discard(item.entry)) {
      item.status = "removed";
    } else {
      item.status = "failed";
      item.error = io.error();
    }
  }
}

std::size_t count_of(const Clean_Plan& plan, const std::string& status, unsigned long long* bytes) {
  std::size_t n = 0;
  for (const Clean_Item& item : plan.items) {
    if (item.status != status) continue;
    ++n;
    if (bytes) *bytes += item.entry.size;
  }
  return n;
}

void print_text(const Pool_Info& pool, bool dry_run, const std::string& older_than, const Clean_Plan& plan) {
  for (const Clean_Item& item : plan.items) {
    const std::string what =
        pool.name + ":" + item.entry.name + " (" + item.kind + ", " + std::to_string(item.entry.size) + " bytes)";
    if (item.status == "failed")
      std::printf("cannot remove %s: %s\n", what.c_str(), item.error.c_str());
    else
      std::printf("%s %s\n", item.status.c_str(), what.c_str());
  }
  if (!plan.uploads_listed) std::printf("%s\n", plan.uploads_note.c_str());
  unsigned long long bytes = 0;
  const std::size_t done = count_of(plan, dry_run ? "would remove" : "removed", &bytes);
  std::printf(
      "clean %s%s: %zu %s (%llu bytes), %zu failed, %zu younger than %s left, %zu beside unreadable "
      "manifests left\n",
      pool.name.c_str(), dry_run ? " (dry run)" : "", done, dry_run ? "would be removed" : "removed", bytes,
      count_of(plan, "failed", nullptr), plan.young, older_than.c_str(), plan.unreadable);
}

void print_json(const Pool_Info& pool, bool dry_run, long long grace, const Clean_Plan& plan) {
  json items = json::array();
  for (const Clean_Item& item : plan.items) {
    json one = {
        {"name", item.entry.name}, {"kind", item.kind}, {"size_stored", item.entry.size}, {"status", item.status}};
    if (!item.error.empty()) one["error"] = item.error;
    items.push_back(one);
  }
  unsigned long long bytes = 0;
  const json doc = {{"pool", pool.name},
                    {"dry_run", dry_run},
                    {"older_than_seconds", grace},
                    {"items", items},
                    {"removed", count_of(plan, dry_run ? "would remove" : "removed", &bytes)},
                    {"freed_bytes", bytes},
                    {"failed", count_of(plan, "failed", nullptr)},
                    {"young_left", plan.young},
                    {"unreadable_left", plan.unreadable},
                    {"uploads_listed", plan.uploads_listed},
                    {"uploads_note", plan.uploads_note}};
  std::printf("%s\n", doc.dump(2).c_str());
}

}  // namespace

int pool_clean_command(const Command_Line& line) {
  std::string err;
  const std::string older_than = line.options.count("older-than") ? option_value(line, "older-than") : "1d";
  long long grace = DEFAULT_GRACE_SECONDS;
  if (!parse_duration(older_than, grace))
    return fail(EXIT_USAGE,
                "pool clean: --older-than takes a time like 30s, 15m, 2h, 1d or 0, not \"" + older_than + "\"");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::string host_id = agent_host_id(err);
  if (host_id.empty()) return fail(EXIT_FAILED, "pool clean: " + err);
  Pool_Info pool;
  if (!find_pool(line.words[2], pool, err)) return fail(EXIT_FAILED, "pool clean: " + err);
  Pool_Scan scan;
  if (!scan_pool(pool, scan, err)) return fail(EXIT_FAILED, "pool clean: " + err);
  if (scan.wrong_key())
    return fail(EXIT_FAILED, "pool clean: none of the " + std::to_string(scan.manifests.size()) +
                                 " manifests of pool " + pool.name +
                                 " can be decrypted with its key; nothing is removed");
  Client_IO_Base::Options options;
  Client_IO_Ex io;
  if (!set_options_by_pool(options, pool) || !io.connect(pool.url, options))
    return fail(EXIT_FAILED, "pool clean: cannot reach pool " + pool.name + ": " + io.error());
  const Host_Part part = host_part(scan, host_id, option_value(line, "from-host"));
  const std::time_t now = std::time(nullptr);
  Clean_Plan plan;
  if (!plan_files(scan, pool, part, grace, now, plan, err)) return fail(EXIT_FAILED, "pool clean: " + err);
  plan_uploads(io, pool, part, grace, now, plan);
  const bool dry_run = line.flags.count("dry-run") != 0;
  carry_out(io, dry_run, plan);
  if (line.flags.count("json") != 0)
    print_json(pool, dry_run, grace, plan);
  else
    print_text(pool, dry_run, older_than, plan);
  std::fflush(stdout);
  return count_of(plan, "failed", nullptr) == 0 ? EXIT_OK : EXIT_FAILED;
}
