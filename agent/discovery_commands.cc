#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/cluster_settings.h"
#include "agent/cluster_view.h"
#include "agent/commands.h"
#include "agent/instance_access.h"
#include "agent/instance_registration.h"
#include "agent/json_output.h"
#include "agent/module.h"
#include "agent/state_dir.h"
#include "host/base/addr_string.h"
#include "host/base/fs_util.h"
#include "host/base/network_interface.h"
#include "host/services/instance_manager.h"

namespace {

// One discovered instance as the listing shows it.
struct Discovered {
  Oscar_Instance_Info info;
  bool has_port = false;
  uint16_t port = 0;
  bool online = false;
  bool registered = false;      // registered under this name with this home
  std::string registered_home;  // the home registered under this name, when another
};

Discovered describe(const Oscar_Module& module, const Oscar_Instance_Info& info) {
  Discovered d;
  d.info = info;
  const Oscar_Module::Functions& f = module.functions();
  d.has_port = f.get_instance_port(info.oscar_home.c_str(), info.instance.c_str(), d.port);
  std::string state;
  d.online = f.get_instance_state(info.oscar_home.c_str(), info.instance.c_str(), state);
  Instance_ptr reg = Instance_Manager::instance()->find("oscar", info.instance);
  if (reg) {
    auto home = reg->options.find("oscar_home");
    const std::string registered_home = home == reg->options.end() ? std::string() : home->second;
    if (registered_home == info.oscar_home)
      d.registered = true;
    else
      d.registered_home = registered_home;
  }
  return d;
}

std::string registration_text(const Discovered& d) {
  if (d.registered) return "registered";
  if (!d.registered_home.empty()) return "registered (other home " + d.registered_home + ")";
  return "not registered";
}

nlohmann::json discovered_json(const std::vector<Discovered>& list) {
  nlohmann::json out = nlohmann::json::array();
  for (const Discovered& d : list) {
    nlohmann::json o = {{"name", d.info.instance},
                        {"home", d.info.oscar_home},
                        {"version", d.info.version},
                        {"port", d.has_port ? nlohmann::json(d.port) : nlohmann::json()},
                        {"state", d.online ? "online" : "offline"},
                        {"registered", d.registered}};
    if (!d.registered_home.empty()) o["registered_home"] = d.registered_home;
    out.push_back(o);
  }
  return out;
}

std::string discovered_table(const std::vector<Discovered>& list) {
  std::vector<std::vector<std::string>> rows = {{"NAME", "HOME", "VERSION", "PORT", "STATE", "REGISTRATION"}};
  for (const Discovered& d : list) {
    rows.push_back({d.info.instance, d.info.oscar_home, d.info.version, d.has_port ? std::to_string(d.port) : "?",
                    d.online ? "online" : "offline", registration_text(d)});
  }
  return format_table(rows);
}

// Registers every instance of `names`, all or none: each must be one of
// `found` and log in with the account of --user and --password-file before
// the registry is written. Prints what it did unless `quiet`.
int register_discovered(const Command_Line& line, const Oscar_Module& module, const Oscar_Instance_Infos& found,
                        const std::vector<std::string>& names, bool quiet) {
  std::string err;
  for (const std::string& name : names) {
    if (found.count(name) == 0)
      return fail(EXIT_FAILED, "discover: no running instance " + name + " was discovered; nothing registered");
  }
  secure_string password;
  if (!read_password(option_value(line, "password-file"), password, err)) return fail(EXIT_FAILED, "discover: " + err);
  const std::string user = option_value(line, "user");
  if (!check_account(user, password, err)) {
    wipe(password);
    return fail(EXIT_FAILED, "discover: " + err + "; nothing registered");
  }
  for (const std::string& name : names) {
    if (!check_login(module, found.at(name).oscar_home, name, user, password, err)) {
      wipe(password);
      return fail(EXIT_FAILED, "discover: " + err + "; nothing registered");
    }
  }
  // With --coordinator, an instance whose configuration names a virtual
  // address is registered as one of its cluster's nodes.
  std::vector<Cluster_Settings> clusters(names.size());
  std::vector<bool> clustered(names.size(), false);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& home = found.at(names[i]).oscar_home;
    if (configured_virtual_address(home, names[i]).empty()) continue;
    bool given = false;
    if (!cluster_settings_from_line(line, names[i], home, clusters[i], given, err)) {
      wipe(password);
      return fail(EXIT_FAILED, "discover: " + err + "; nothing registered");
    }
    clustered[i] = given;
  }
  std::vector<bool> existed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Oscar_Instance_Info& info = found.at(names[i]);
    std::map<std::string, std::string> options =
        clustered[i] ? cluster_options(clusters[i]) : std::map<std::string, std::string>();
    options["version"] = info.version;
    existed.push_back(stage_instance(names[i], info.oscar_home, options, user, password));
  }
  wipe(password);
  if (Instance_Manager::instance()->save() != 0)
    return fail(EXIT_FAILED, "discover: cannot write the instance registry; nothing registered");
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& home = found.at(names[i]).oscar_home;
    std::string linked;
    if (!link_start_script(home, names[i], linked, err)) return fail(EXIT_FAILED, "discover: " + err);
    if (quiet) continue;
    std::printf("instance %s %s (home %s, user %s)\n", names[i].c_str(), existed[i] ? "updated" : "added", home.c_str(),
                user.c_str());
    if (clustered[i])
      std::printf("cluster %s, coordinator %s\n", clusters[i].identity.c_str(), clusters[i].coordinator.c_str());
    if (!linked.empty()) std::printf("start script %s\n", linked.c_str());
  }
  return EXIT_OK;
}

// The instance's record as the browse functions read it: the registered
// one, with the option "version" filled from the running server when the
// registry lacks it. Null with err when the version cannot be read.
Instance_ptr record_with_version(const Oscar_Module& module, const Registered_Instance& inst, std::string& err) {
  if (inst.record->options.count("version") != 0) return inst.record;
  const Oscar_Module::Functions& f = module.functions();
  uint16_t port = 0;
  std::string version;
  if (!f.get_instance_port(inst.home.c_str(), inst.name.c_str(), port) ||
      !f.get_version(inst.home.c_str(), port, inst.name.c_str(), version, false) || version.empty()) {
    err = "the version of instance " + inst.name + " cannot be read";
    return Instance_ptr();
  }
  auto copy = std::make_shared<Instance>(*inst.record);
  copy->options["version"] = version;
  return copy;
}

bool same_name_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

void print_names(const nlohmann::json& names, const std::string& none) {
  if (names.empty()) std::printf("%s\n", none.c_str());
  for (const nlohmann::json& n : names) std::printf("%s\n", n.is_string() ? n.get<std::string>().c_str() : "?");
}

}  // namespace

int discover_command(const Command_Line& line) {
  std::string err;
  const bool reg = line.flags.count("register") != 0;
  std::vector<std::string> names;
  for (std::size_t i = 1; i < line.words.size(); ++i) {
    if (std::find(names.begin(), names.end(), line.words[i]) == names.end()) names.push_back(line.words[i]);
  }
  const bool account = line.options.count("user") != 0 || line.options.count("password-file") != 0;
  if (!reg && !names.empty()) return fail(EXIT_USAGE, "discover: unexpected argument \"" + names[0] + "\"");
  if (!reg && account) return fail(EXIT_USAGE, "discover: --user and --password-file go with --register");
  if (!reg && (line.options.count("coordinator") != 0 || line.options.count("coordinator-token-file") != 0))
    return fail(EXIT_USAGE, "discover: --coordinator and --coordinator-token-file go with --register");
  if (reg && names.empty()) return fail(EXIT_USAGE, "discover: --register needs the names of the instances");
  if (reg && (line.options.count("user") == 0 || line.options.count("password-file") == 0))
    return fail(EXIT_USAGE, "discover: --register needs --user and --password-file");
  for (const std::string& name : names) {
    if (!valid_name(name)) return fail(EXIT_USAGE, "discover: invalid instance name \"" + name + "\"");
  }
  // Listing needs no state of its own: without a state directory every
  // instance is unregistered, and the run's logs go to a scratch directory
  // removed at the end, so that nothing is made where nothing was.
  std::string state = option_value(line, "state");
  struct stat st;
  std::unique_ptr<char, void (*)(char*)> scratch(nullptr, [](char* dir) {
    rm_rf(dir);
    std::free(dir);
  });
  if (line.flags.count("register") == 0 && ::stat(state.c_str(), &st) != 0 && errno == ENOENT) {
    const char* tmp = std::getenv("TMPDIR");
    scratch.reset(
        ::strdup(((tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + std::string("/oscar-agent.XXXXXX")).c_str()));
    if (::mkdtemp(scratch.get()) == nullptr) return fail(EXIT_FAILED, "discover: cannot make a scratch directory");
    state = scratch.get();
    allow_state_dir_creation(true);
  }
  if (!open_state_dir(state, err)) return fail(EXIT_FAILED, err);
  if (::geteuid() != 0 && proc_hides_processes(read_text_file("/proc/mounts")))
    std::fprintf(stderr,
                 "oscar-agent: warning: /proc is mounted with hidepid; servers of other users may be invisible\n");
  Oscar_Module module;
  if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, err);
  Module_Log log;
  Oscar_Instance_Infos found;
  if (!module.functions().get_instance_info(found, nullptr))
    return fail(EXIT_FAILED, "discover: the running processes cannot be listed (details in " + log.path() + ")");
  const bool json = line.flags.count("json") != 0;
  if (reg) {
    const int status = register_discovered(line, module, found, names, json);
    if (status != EXIT_OK) return status;
  }
  std::vector<Discovered> list;
  for (const auto& f : found) list.push_back(describe(module, f.second));
  if (json) {
    print_json({{"instances", discovered_json(list)}});
  } else if (list.empty()) {
    std::printf("no running instance found\n");
  } else {
    std::printf("%s", discovered_table(list).c_str());
  }
  return EXIT_OK;
}

int browse_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Registered_Instance inst;
  if (!find_registered(line.words[1], inst, err)) return fail(EXIT_FAILED, "browse: " + err);
  const std::string db = line.words.size() > 2 ? line.words[2] : std::string();
  const std::string schema = line.words.size() > 3 ? line.words[3] : std::string();
  if (!db.empty() && !same_name_ignoring_case(db, inst.name))
    return fail(EXIT_FAILED,
                "browse: instance " + inst.name + " holds no database " + db + " (its database is " + inst.name + ")");
  Oscar_Module module;
  if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, err);
  Module_Log log;
  if (!check_reachable(module, inst, err)) return fail(EXIT_FAILED, "browse: " + err);
  const Oscar_Module::Functions& f = module.functions();
  const bool json = line.flags.count("json") != 0;
  const char* user = inst.user.c_str();
  const char* password = inst.password.c_str();
  nlohmann::json value;
  if (db.empty()) {
    Instance_ptr record = record_with_version(module, inst, err);
    if (!record) return fail(EXIT_FAILED, "browse: " + err + " (details in " + log.path() + ")");
    if (!f.get_database_info(record, inst.name.c_str(), user, password, value) || !value.is_array() ||
        value.size() != 1 || !value[0].is_object())
      return fail(EXIT_FAILED,
                  "browse: the database " + inst.name + " cannot be described (details in " + log.path() + ")");
    if (json) {
      print_json({{"databases", value}});
      return EXIT_OK;
    }
    const nlohmann::json& d = value[0];
    auto text = [&](const char* key) {
      return d.contains(key) && d[key].is_string() ? d[key].get<std::string>() : "-";
    };
    const std::string archive =
        d.contains("archivelog") && d["archivelog"].is_boolean() ? (d["archivelog"].get<bool>() ? "yes" : "no") : "-";
    std::printf("%s", format_table({{"DATABASE", "STATUS", "ARCHIVELOG", "VERSION"},
                                    {text("database"), text("status"), archive, text("version")}})
                          .c_str());
    return EXIT_OK;
  }
  if (schema.empty()) {
    if (!f.get_schemas_info(inst.record, inst.name.c_str(), db.c_str(), user, password, value) || !value.is_array())
      return fail(EXIT_FAILED, "browse: the schemas of " + db + " cannot be listed (details in " + log.path() + ")");
    if (json)
      print_json({{"schemas", value}});
    else
      print_names(value, "no user schema in database " + db);
    return EXIT_OK;
  }
  if (!f.get_tables_info(inst.record, inst.name.c_str(), db.c_str(), schema.c_str(), user, password, value) ||
      !value.is_array())
    return fail(EXIT_FAILED,
                "browse: the tables of schema " + schema + " cannot be listed (details in " + log.path() + ")");
  // No tables: an empty schema, or none of that name, which is an error.
  nlohmann::json schemas;
  if (value.empty() && f.get_schemas_info(inst.record, inst.name.c_str(), db.c_str(), user, password, schemas) &&
      schemas.is_array() && std::none_of(schemas.begin(), schemas.end(), [&](const nlohmann::json& s) {
        return s.is_string() && same_name_ignoring_case(s.get<std::string>(), schema);
      }))
    return fail(EXIT_FAILED, "browse: database " + db + " holds no user schema " + schema + " (browse " + inst.name +
                                 " " + db + " lists them)");
  if (json)
    print_json({{"tables", value}});
  else
    print_names(value, "no table in schema " + schema);
  return EXIT_OK;
}

int nodes_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Registered_Instance inst;
  if (!find_registered(line.words[1], inst, err)) return fail(EXIT_FAILED, "nodes: " + err);
  Oscar_Module module;
  if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, err);
  Module_Log log;
  if (!check_reachable(module, inst, err)) return fail(EXIT_FAILED, "nodes: " + err);
  if (configured_virtual_address(inst.home, inst.name).empty())
    return fail(EXIT_FAILED, "nodes: instance " + inst.name + " is not clustered (no HA_SERVER_IP_ADDRESS in " +
                                 inst.home + "/admin/" + inst.name + ".conf)");
  std::vector<Oscar_Node_Info> nodes;
  if (!module.functions().get_cluster_nodes(inst.home.c_str(), inst.name.c_str(), inst.user.c_str(),
                                            inst.password.c_str(), nullptr, nodes))
    return fail(EXIT_FAILED,
                "nodes: the cluster query of instance " + inst.name + " failed (details in " + log.path() + ")");
  if (nodes.empty())
    return fail(EXIT_FAILED, "nodes: instance " + inst.name + " is not clustered (its cluster lists no nodes)");
  // This machine is the node whose address is one of its interfaces'
  // addresses, compared as text the way the module picks its own node.
  std::set<std::string> local;
  Network_Interface_Enumerator interfaces;
  for (const Network_Interface& i : interfaces) local.insert(ACE_Addr_String(i.address, false).str());
  nlohmann::json out = nlohmann::json::array();
  std::vector<std::vector<std::string>> rows = {{"NODE", "ADDRESS", "ROLE", ""}};
  for (const Oscar_Node_Info& n : nodes) {
    const bool master = n.status == "master";
    const bool here = local.count(n.host) != 0;
    out.push_back(
        {{"node_id", n.node_id}, {"address", n.host}, {"role", n.status}, {"master", master}, {"this_machine", here}});
    std::string note = master ? "master" : "";
    if (here) note += note.empty() ? "this machine" : ", this machine";
    rows.push_back({std::to_string(n.node_id), n.host, n.status, note});
  }
  // A clustered instance: the coordinator's last decisions too.
  Cluster_Settings cluster;
  const bool clustered = cluster_settings(*inst.record, cluster);
  nlohmann::json decisions = nlohmann::json::array();
  const bool decided = clustered && cluster_decisions(cluster, decisions, err);
  if (line.flags.count("json") != 0) {
    nlohmann::json doc = {{"nodes", out}};
    if (clustered) doc["coordinator"] = {{"url", cluster.coordinator}, {"cluster", cluster.identity}};
    if (decided) doc["coordinator"]["decisions"] = decisions;
    print_json(doc);
  } else {
    std::printf("%s", format_table(rows).c_str());
    if (decided)
      std::printf("\ncoordinator %s, cluster %s:\n%s", cluster.coordinator.c_str(), cluster.identity.c_str(),
                  format_table(decision_rows(decisions)).c_str());
  }
  if (clustered && !decided) return fail(EXIT_FAILED, "nodes: " + err);
  return EXIT_OK;
}
