#include <cstdio>
#include <cstdlib>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/job_documents.h"
#include "agent/pool_lookup.h"
#include "agent/retention.h"
#include "agent/set_removal.h"
#include "agent/state_dir.h"
#include "host/services/instance_manager.h"

namespace {

// A count option: digits only, within [min, 100000]. False with err.
bool count_option(const Command_Line& line, const char* name, std::size_t min, std::size_t& out, std::string& err) {
  const std::string t = option_value(line, name);
  char* end = nullptr;
  const unsigned long v = std::strtoul(t.c_str(), &end, 10);
  if (t.empty() || t[0] < '0' || t[0] > '9' || *end != '\0' || v > 100000) {
    err = std::string("--") + name + " must be a count, not \"" + t + "\"";
    return false;
  }
  if (v < min) {
    err = std::string("--") + name + " must be at least " + std::to_string(min);
    return false;
  }
  out = v;
  return true;
}

// The resource whose sets expire works on: that of the registered instance
// NAME (or of --instance-uuid UUID), or an instance's uuid when the
// instance is no longer registered but the catalogue holds sets of it.
// `removed` says which.
bool find_resource(const std::string& name, const std::string& uuid, std::string& resource, bool& removed,
                   std::string& err) {
  for (const Instance_ptr& inst : Instance_Manager::instance()->list("oscar")) {
    if (uuid.empty() ? inst->name != name : inst->uuid != uuid) continue;
    resource = resource_id(*inst);
    removed = false;
    return true;
  }
  const std::string id = uuid.empty() ? name : uuid;
  if (!unregistered_resource(id, err)) {
    if (err.empty())
      err = uuid.empty() ? "unknown instance \"" + name + "\"" : "the catalogue holds no sets of instance uuid " + uuid;
    return false;
  }
  resource = id;
  removed = true;
  return true;
}
}  // namespace

int expire_command(const Command_Line& line) {
  std::string err;
  Retention_Rule rule;
  if (!count_option(line, "keep-full", 0, rule.keep_full, err)) return fail(EXIT_USAGE, "expire: " + err);
  rule.expire_exports = !option_value(line, "keep-export").empty();
  if (rule.expire_exports && !count_option(line, "keep-export", 0, rule.keep_export, err))
    return fail(EXIT_USAGE, "expire: " + err);
  int lock_seconds = 0;
  if (!lock_seconds_option(line, lock_seconds, err)) return fail(EXIT_USAGE, "expire: " + err);
  const bool dry_run = line.flags.count("dry-run") != 0;
  const bool json = line.flags.count("json") != 0;

  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::string uuid = option_value(line, "instance-uuid");
  if ((line.words.size() > 1) == !uuid.empty())
    return fail(EXIT_USAGE, "expire: name either an instance or --instance-uuid UUID");
  const std::string name = uuid.empty() ? line.words[1] : uuid;
  std::string resource;
  bool removed = false;
  if (!find_resource(name, uuid, resource, removed, err)) return fail(EXIT_FAILED, "expire: " + err);
  // Every backup of an instance goes only once the instance is gone.
  if ((rule.keep_full == 0 || (rule.expire_exports && rule.keep_export == 0)) && !removed)
    return fail(EXIT_USAGE, std::string("expire: --") + (rule.keep_full == 0 ? "keep-full" : "keep-export") +
                                " must be at least 1 for a registered instance (0 would remove every set of it)");
  const std::string pool = option_value(line, "pool");
  if (!pool.empty() && !find_pool_uuid(pool, rule.pool_uuid, err)) return fail(EXIT_FAILED, "expire: " + err);

  // Held until the sets are gone: no backup, restore, export or import of
  // the instance runs meanwhile, and none of its sets is being written.
  std::vector<std::unique_ptr<Job_Lock>> locks;
  if (!lock_resources({resource}, "expire of " + name, lock_seconds, locks, err))
    return fail(EXIT_FAILED, "expire: " + err);
  nlohmann::json physical, exports;
  if (!backup_rows(resource, physical, err) || !export_rows(resource, exports, err))
    return fail(EXIT_FAILED, "expire: " + err);
  const Removal_Result result = remove_sets(expired_sets(physical, exports, rule), physical, dry_run);

  if (json) {
    nlohmann::json doc = removal_json(result, dry_run);
    doc["instance"] = name;
    std::printf("%s\n", doc.dump(2).c_str());
  } else {
    for (const Set_Outcome& o : result.sets) std::printf("%s\n", outcome_line(o).c_str());
    std::printf("%s\n", summary_line(result, dry_run).c_str());
  }
  std::fflush(stdout);
  if (result.failures == 0) return EXIT_OK;
  return fail(EXIT_FAILED, "expire: " + std::to_string(result.failures) +
                               (result.failures == 1 ? " set could not be removed" : " sets could not be removed"));
}
