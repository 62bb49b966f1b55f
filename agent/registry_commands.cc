#include <sys/stat.h>

#include <cstdio>

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

}  // namespace

int instance_add_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (!valid_name(name)) return fail(EXIT_USAGE, "instance add: invalid instance name \"" + name + "\"");
  const std::string home = option_value(line, "home");
  if (home[0] != '/' || !is_directory(home))
    return fail(EXIT_FAILED, "instance add: the home " + home + " is not an existing absolute directory");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  secure_string password;
  if (!read_password(option_value(line, "password-file"), password, err)) return fail(EXIT_FAILED, err);
  const std::string user = option_value(line, "user");
  if (!check_account(user, password, err)) {
    wipe(password);
    return fail(EXIT_FAILED, "instance add: " + err + "; nothing registered");
  }
  if (line.flags.count("no-check") == 0) {
    Oscar_Module module;
    if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, "instance add: " + err);
    Module_Log log;
    if (!check_login(module, home, name, user, password, err)) {
      wipe(password);
      return fail(EXIT_FAILED, "instance add: " + err + " (--no-check registers it without the test)");
    }
  }
  const bool old = stage_instance(name, home, {}, user, password);
  wipe(password);
  if (Instance_Manager::instance()->save() != 0)
    return fail(EXIT_FAILED, "instance add: cannot write the instance registry");
  std::string linked;
  if (!link_start_script(home, name, linked, err)) return fail(EXIT_FAILED, "instance add: " + err);
  std::printf("instance %s %s (home %s, user %s)\n", name.c_str(), old ? "updated" : "added", home.c_str(),
              user.c_str());
  if (!linked.empty()) std::printf("start script %s\n", linked.c_str());
  return EXIT_OK;
}

int fail(int status, const std::string& text) {
  std::fprintf(stderr, "oscar-agent: %s\n", text.c_str());
  return status;
}
