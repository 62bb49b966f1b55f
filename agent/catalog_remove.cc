// catalog remove: catalogued sets removed by their ids, whichever instance
// they are of, one that is still registered or one removed since.

#include <cstdio>
#include <map>
#include <set>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/set_removal.h"
#include "agent/state_dir.h"

namespace {

// The sets named by `ids` (a backup id, or an export's id), with the
// resources they are of and the physical rows of every resource (the
// chains they may be part of). False with err naming the first id the
// catalogue does not hold, or when it cannot be read.
bool named_sets(const std::vector<std::string>& ids, std::vector<Catalogued_Set>& sets,
                std::set<std::string>& resources, nlohmann::json& physical, std::string& err) {
  nlohmann::json exports;
  if (!backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  std::map<std::string, Catalogued_Set> by_id;
  for (const nlohmann::json& row : physical) by_id[row_text(row, "backup_id")] = {"oscar_brcmd", row};
  for (const nlohmann::json& row : exports) by_id[row_text(row, "uuid")] = {"oscar", row};
  sets.clear();
  resources.clear();
  for (const std::string& id : ids) {
    const auto it = by_id.find(id);
    if (id.empty() || it == by_id.end()) {
      err = "the catalogue holds no set " + id + " (catalog --all lists them)";
      return false;
    }
    sets.push_back(it->second);
    resources.insert(row_text(it->second.row, "resource_uuid"));
  }
  return true;
}

}  // namespace

int catalog_remove_command(const Command_Line& line) {
  std::string err;
  int lock_seconds = 0;
  if (!lock_seconds_option(line, lock_seconds, err)) return fail(EXIT_USAGE, "catalog remove: " + err);
  const bool dry_run = line.flags.count("dry-run") != 0;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::vector<std::string> ids(line.words.begin() + 2, line.words.end());
  std::vector<Catalogued_Set> sets;
  std::set<std::string> resources;
  nlohmann::json physical;
  if (!named_sets(ids, sets, resources, physical, err)) return fail(EXIT_FAILED, "catalog remove: " + err);
  // Held until the sets are gone, as expire holds them; the rows are read
  // again under the locks, so that a set a job added meanwhile is seen.
  std::vector<std::unique_ptr<Job_Lock>> locks;
  if (!lock_resources(resources, "catalog remove", lock_seconds, locks, err) ||
      !named_sets(ids, sets, resources, physical, err))
    return fail(EXIT_FAILED, "catalog remove: " + err);
  const Removal_Result result = remove_sets(sets, physical, dry_run);
  if (line.flags.count("json") != 0) {
    std::printf("%s\n", removal_json(result, dry_run).dump(2).c_str());
  } else {
    for (const Set_Outcome& o : result.sets) std::printf("%s\n", outcome_line(o).c_str());
    std::printf("%s\n", summary_line(result, dry_run).c_str());
  }
  std::fflush(stdout);
  const std::size_t kept = sets.size() - result.removed;
  if (kept == 0) return EXIT_OK;
  return fail(EXIT_FAILED, "catalog remove: " + std::to_string(kept) +
                               (kept == 1 ? " set was kept" : " sets were kept") + " (see the lines above)");
}
