#include <sys/stat.h>

#include <cstdio>

#include "agent/cluster_settings.h"
#include "agent/commands.h"
#include "agent/instance_access.h"
#include "agent/instance_registration.h"
#include "agent/module.h"
#include "agent/pool_lookup.h"
#include "agent/state_dir.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "tollix/secure_allocator.h"

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The home, account and start script of an instance to register: checked
// (the account's rule, and the login unless --no-check), then staged and
// saved, its start script linked. `verb` names the command in errors,
// `done` the outcome in the line that reports it ("added", "updated").
// --coordinator and --coordinator-token-file make it clustered.
int register_instance(const Command_Line& line, const std::string& verb, const char* done, const std::string& name,
                      const std::string& home, const std::string& user, const secure_string& password) {
  std::string err;
  if (home.empty() || home[0] != '/' || !is_directory(home))
    return fail(EXIT_FAILED, verb + ": the home " + home + " is not an existing absolute directory");
  Cluster_Settings cluster;
  bool clustered = false;
  if (!cluster_settings_from_line(line, name, home, cluster, clustered, err))
    return fail(EXIT_FAILED, verb + ": " + err + "; nothing registered");
  if (!check_account(user, password, err)) return fail(EXIT_FAILED, verb + ": " + err + "; nothing registered");
  if (line.flags.count("no-check") == 0) {
    Oscar_Module module;
    if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, verb + ": " + err);
    Module_Log log;
    if (!check_login(module, home, name, user, password, err))
      return fail(EXIT_FAILED, verb + ": " + err + " (--no-check registers it without the test)");
  }
  stage_instance(name, home, clustered ? cluster_options(cluster) : std::map<std::string, std::string>(), user,
                 password);
  if (Instance_Manager::instance()->save() != 0)
    return fail(EXIT_FAILED, verb + ": cannot write the instance registry");
  std::string linked;
  if (!link_start_script(home, name, linked, err)) return fail(EXIT_FAILED, verb + ": " + err);
  std::printf("instance %s %s (home %s, user %s)\n", name.c_str(), done, home.c_str(), user.c_str());
  if (clustered) std::printf("cluster %s, coordinator %s\n", cluster.identity.c_str(), cluster.coordinator.c_str());
  if (!linked.empty()) std::printf("start script %s\n", linked.c_str());
  return EXIT_OK;
}

std::string home_of(const Instance& inst) {
  const auto it = inst.options.find("oscar_home");
  return it == inst.options.end() ? std::string() : it->second;
}

}  // namespace

int instance_add_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (!valid_name(name)) return fail(EXIT_USAGE, "instance add: invalid instance name \"" + name + "\"");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  if (Instance_Manager::instance()->find("oscar", name))
    return fail(EXIT_FAILED,
                "instance add: instance " + name + " exists; instance set " + name + " changes its home or account");
  secure_string password;
  if (!read_password(option_value(line, "password-file"), password, err)) return fail(EXIT_FAILED, err);
  const std::string home = option_value(line, "home");
  const std::string user = option_value(line, "user");
  const int status = register_instance(line, "instance add", "added", name, home, user, password);
  wipe(password);
  return status;
}

int instance_set_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (line.options.count("home") + line.options.count("user") + line.options.count("password-file") +
          line.options.count("coordinator") + line.options.count("coordinator-token-file") ==
      0)
    return fail(EXIT_USAGE,
                "instance set: name a setting to change (--home, --user, --password-file, --coordinator with "
                "--coordinator-token-file)");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Instance_Manager* mgr = Instance_Manager::instance();
  Instance_ptr inst = mgr->find("oscar", name);
  if (!inst) return fail(EXIT_FAILED, "instance set: unknown instance \"" + name + "\"");
  std::string user;
  secure_string password;
  mgr->get_account("oscar", name, "", user, password, nullptr);
  const std::string home = line.options.count("home") != 0 ? option_value(line, "home") : home_of(*inst);
  if (line.options.count("user") != 0) user = option_value(line, "user");
  if (line.options.count("password-file") != 0) {
    wipe(password);
    if (!read_password(option_value(line, "password-file"), password, err)) return fail(EXIT_FAILED, err);
  }
  const int status = register_instance(line, "instance set", "updated", name, home, user, password);
  wipe(password);
  return status;
}

int fail(int status, const std::string& text) {
  std::fprintf(stderr, "oscar-agent: %s\n", text.c_str());
  return status;
}
