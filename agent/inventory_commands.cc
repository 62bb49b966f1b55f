#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/set_removal.h"
#include "agent/state_dir.h"
#include "host/base/agent_state.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "tollix/secure_allocator.h"

namespace {

std::string text_of(const nlohmann::json& row, const char* key) {
  const auto it = row.is_object() ? row.find(key) : row.end();
  return row.is_object() && it != row.end() && it->is_string() ? it->get<std::string>() : std::string();
}

unsigned long long number_of(const nlohmann::json& row, const char* key) {
  const auto it = row.is_object() ? row.find(key) : row.end();
  return row.is_object() && it != row.end() && it->is_number_unsigned() ? it->get<unsigned long long>() : 0;
}

// Every catalogued set (both views), all resources.
bool all_sets(std::vector<Catalogued_Set>& out, nlohmann::json& physical, std::string& err) {
  nlohmann::json exports;
  if (!backup_rows("", physical, err) || !export_rows("", exports, err)) return false;
  for (const nlohmann::json& row : physical) out.push_back({"oscar_brcmd", row});
  for (const nlohmann::json& row : exports) out.push_back({"oscar", row});
  return true;
}

// Writes rows as columns padded to their widest cell.
void print_table(const std::vector<std::vector<std::string>>& table) {
  std::vector<std::size_t> width(table[0].size(), 0);
  for (const auto& line : table)
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  for (const auto& line : table) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(width[i] - line[i].size() + 2, ' ');
    }
    std::printf("%s\n", text.c_str());
  }
}

// The default account's user of an instance; the password read with it is
// wiped at once.
std::string user_of(const Instance& inst) {
  std::string user;
  secure_string password;
  Instance_Manager::instance()->get_account(inst.type, inst.name, "", user, password, nullptr);
  wipe(password);
  return user;
}

std::string home_of(const Instance& inst) {
  const auto it = inst.options.find("oscar_home");
  return it == inst.options.end() ? std::string() : it->second;
}

}  // namespace

int instance_list_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::vector<Instance_ptr> instances = Instance_Manager::instance()->list("oscar");
  if (line.flags.count("json") != 0) {
    nlohmann::json list = nlohmann::json::array();
    for (const Instance_ptr& i : instances)
      list.push_back({{"name", i->name}, {"uuid", i->uuid}, {"home", home_of(*i)}, {"user", user_of(*i)}});
    std::printf("%s\n", nlohmann::json{{"instances", list}}.dump(2).c_str());
    return EXIT_OK;
  }
  std::vector<std::vector<std::string>> table = {{"NAME", "HOME", "USER"}};
  for (const Instance_ptr& i : instances) table.push_back({i->name, home_of(*i), user_of(*i)});
  print_table(table);
  return EXIT_OK;
}

int instance_remove_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::string name = line.words[2];
  Instance_Manager* mgr = Instance_Manager::instance();
  Instance_ptr inst = mgr->find("oscar", name);
  if (!inst) return fail(EXIT_FAILED, "instance remove: unknown instance \"" + name + "\"");
  nlohmann::json physical, exports;
  if (!backup_rows(inst->uuid, physical, err) || !export_rows(inst->uuid, exports, err))
    return fail(EXIT_FAILED, "instance remove: " + err);

  // The link is checked before the registry changes, so that a link that
  // cannot be removed leaves the instance registered as it was.
  const std::string link = root_path("/etc/init.d/oscardb_" + name + "d");
  struct stat st;
  const bool linked = ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  if (linked && ::access(root_path("/etc/init.d").c_str(), W_OK | X_OK) != 0)
    return fail(EXIT_FAILED,
                "instance remove: cannot remove the start script link " + link + ": " + std::strerror(errno));
  mgr->remove_instance("oscar", name);
  if (mgr->save() != 0) return fail(EXIT_FAILED, "instance remove: cannot write the instance registry");
  if (linked && ::unlink(link.c_str()) != 0 && errno != ENOENT)
    return fail(EXIT_FAILED, "instance remove: instance " + name + " removed, but not its start script link " + link +
                                 ": " + std::strerror(errno));
  std::printf("instance %s removed (uuid %s)\n", name.c_str(), inst->uuid.c_str());
  if (linked) std::printf("start script link %s removed\n", link.c_str());
  const std::size_t sets = physical.size() + exports.size();
  if (sets != 0)
    std::printf(
        "%zu catalogued set%s of %s remain%s: oscar-agent catalog --all %s --state %s lists them, oscar-agent expire "
        "--instance-uuid %s --keep-full 0 --keep-export 0 --state %s removes them\n",
        sets, sets == 1 ? "" : "s", name.c_str(), sets == 1 ? "s" : "", inst->uuid.c_str(),
        option_value(line, "state").c_str(), inst->uuid.c_str(), option_value(line, "state").c_str());
  return EXIT_OK;
}

int pool_list_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  std::vector<Pool_Info> pools;
  if (!list_pools(pools)) return fail(EXIT_FAILED, "pool list: cannot read the pool registry " + pool_registry_path());
  std::vector<Catalogued_Set> sets;
  nlohmann::json physical;
  if (!all_sets(sets, physical, err)) return fail(EXIT_FAILED, "pool list: " + err);
  nlohmann::json list = nlohmann::json::array();
  std::vector<std::vector<std::string>> table = {{"NAME", "UUID", "URL", "SETS", "STORED"}};
  for (const Pool_Info& p : pools) {
    std::size_t count = 0;
    unsigned long long stored = 0;
    for (const Catalogued_Set& s : sets) {
      if (text_of(s.row, "pool_uuid") != p.uuid) continue;
      ++count;
      stored += number_of(s.row, "backup_set_storage_size");
    }
    list.push_back({{"name", p.name}, {"uuid", p.uuid}, {"url", p.url}, {"sets", count}, {"size_stored", stored}});
    table.push_back({p.name, p.uuid, p.url, std::to_string(count), std::to_string(stored)});
  }
  if (line.flags.count("json") != 0) {
    std::printf("%s\n", nlohmann::json{{"pools", list}}.dump(2).c_str());
    return EXIT_OK;
  }
  print_table(table);
  return EXIT_OK;
}

int pool_remove_command(const Command_Line& line) {
  std::string err;
  int lock_seconds = 0;
  if (!lock_seconds_option(line, lock_seconds, err)) return fail(EXIT_USAGE, "pool remove: " + err);
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  const std::string name = line.words[2];
  std::string uuid;
  if (!find_pool_uuid(name, uuid, err)) return fail(EXIT_FAILED, "pool remove: unknown pool \"" + name + "\"");

  std::vector<Catalogued_Set> sets;
  nlohmann::json physical;
  if (!all_sets(sets, physical, err)) return fail(EXIT_FAILED, "pool remove: " + err);
  std::vector<Catalogued_Set> doomed;
  std::set<std::string> resources;
  for (const Catalogued_Set& s : sets) {
    if (text_of(s.row, "pool_uuid") != uuid) continue;
    doomed.push_back(s);
    resources.insert(text_of(s.row, "resource_uuid"));
  }
  const bool force = line.flags.count("force") != 0;
  if (!doomed.empty() && !force)
    return fail(EXIT_FAILED, "pool remove: pool " + name + " still holds " + std::to_string(doomed.size()) +
                                 (doomed.size() == 1 ? " catalogued set" : " catalogued sets") +
                                 " (--force removes them with their stored files)");
  if (!doomed.empty()) {
    std::vector<std::unique_ptr<Job_Lock>> locks;
    if (!lock_resources(resources, "removal of pool " + name, lock_seconds, locks, err))
      return fail(EXIT_FAILED, "pool remove: " + err);
    // Read again under the locks: a job that ended meanwhile may have
    // added a set.
    sets.clear();
    doomed.clear();
    if (!all_sets(sets, physical, err)) return fail(EXIT_FAILED, "pool remove: " + err);
    for (const Catalogued_Set& s : sets)
      if (text_of(s.row, "pool_uuid") == uuid) doomed.push_back(s);
    const Removal_Result result = remove_sets(doomed, physical, false);
    for (const Set_Outcome& o : result.sets) std::printf("%s\n", outcome_line(o).c_str());
    std::printf("%s\n", summary_line(result, false).c_str());
    std::fflush(stdout);
    if (result.removed != doomed.size())
      return fail(EXIT_FAILED, "pool remove: pool " + name + " is kept: " +
                                   std::to_string(doomed.size() - result.removed) + " of its sets remain");
  }
  const int removed = remove_pool(uuid);
  if (removed < 0) return fail(EXIT_FAILED, "pool remove: cannot write the pool registry");
  std::printf("pool %s removed (uuid %s); its storage directory is left in place\n", name.c_str(), uuid.c_str());
  return EXIT_OK;
}
