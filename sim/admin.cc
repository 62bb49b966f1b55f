// "oscar-sim": makes and manages simulated database homes.

#include <cstdio>
#include <string>

#include "admin_commands.h"
#include "datafiles.h"
#include "roles.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

namespace {

const char* USAGE =
    "usage: oscar-sim COMMAND HOME [options]\n"
    "  init HOME --instance NAME --port PORT --user USER --password PASSWORD\n"
    "       [--vip ADDR [--nodes ADDR,ADDR...]] [--size BYTES[K|M|G]] [--datafiles N] [--archive-mode "
    "ARCHIVELOG|NOARCHIVELOG]\n"
    "  start HOME --instance NAME      start the server, return when it listens\n"
    "  stop HOME --instance NAME       stop the server\n"
    "  touch HOME --instance NAME      change some data pages\n"
    "  checksum HOME --instance NAME   print one digest of all data files\n"
    "  set HOME --instance NAME KEY=VALUE...   change the instance's state entry\n"
    "  create-table HOME --instance NAME SCHEMA.TABLE [--rows N] [--row-bytes W]\n"
    "  change-table HOME --instance NAME SCHEMA.TABLE [--rows N]   give the table new rows\n"
    "  table-checksum HOME --instance NAME SCHEMA.TABLE   print one digest of the table's rows\n"
    "  drop HOME --instance NAME SCHEMA[.TABLE]\n"
    "  drop-tablespace HOME --instance NAME TABLESPACE   remove it and its data file\n"
    "  switch-over HOME --instance NAME [--to NODE_ID]   make a slave of the cluster its master\n";

// Loads the state and resolves --instance, printing the error itself.
bool resolve(const Admin_Args& args, Home& home, json& state, std::string& name) {
  home.root = args.home;
  std::string err;
  auto it = args.options.find("instance");
  if (it == args.options.end() || it->second.empty()) {
    admin_error("--instance NAME is required");
    return false;
  }
  if (!load_state(home, state, err)) {
    admin_error(err);
    return false;
  }
  if (!find_instance(state, it->second, &name)) {
    admin_error("instance " + it->second + " does not exist in " + home.root);
    return false;
  }
  return true;
}

// Sets a (dotted) key of the instance entry to a JSON value, or to the text
// itself when it is not JSON.
bool set_key(json& inst, const std::string& assignment, std::string& err) {
  size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) {
    err = "expected KEY=VALUE, got " + assignment;
    return false;
  }
  std::string key = assignment.substr(0, eq);
  std::string text = assignment.substr(eq + 1);
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded()) value = text;
  json* node = &inst;
  size_t pos = 0;
  while (true) {
    size_t dot = key.find('.', pos);
    std::string part = key.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (part.empty() || !node->is_object()) {
      err = "cannot set " + key;
      return false;
    }
    if (dot == std::string::npos) {
      (*node)[part] = value;
      return true;
    }
    node = &(*node)[part];
    if (node->is_null()) *node = json::object();
    pos = dot + 1;
  }
}

}  // namespace

int admin_error(const std::string& text) {
  std::fprintf(stderr, "oscar-sim: %s\n", text.c_str());
  return 1;
}

int admin_touch(const Admin_Args& args) {
  Home home;
  json state;
  std::string name, err;
  if (!resolve(args, home, state, name)) return 1;
  File_Lock data(home.data_lock(name));
  File_Lock lock(home.state_lock());
  if (!data.held() || !lock.held()) return admin_error("cannot lock " + home.admin_dir());
  if (!load_state(home, state, err)) return admin_error(err);
  json* inst = find_instance(state, name);
  if (!inst) return admin_error("instance " + name + " vanished from the state file");
  if (!touch_instance_data(home.data_dir(name), *inst, err)) return admin_error(err);
  if (!save_state(home, state, err)) return admin_error(err);
  return 0;
}

int admin_checksum(const Admin_Args& args) {
  Home home;
  json state;
  std::string name, err;
  if (!resolve(args, home, state, name)) return 1;
  uint64_t digest = 0;
  if (!checksum_data(home.data_dir(name), digest, err)) return admin_error(err);
  std::printf("%016llx\n", static_cast<unsigned long long>(digest));
  return 0;
}

int admin_set(const Admin_Args& args) {
  Home home;
  json state;
  std::string name, err;
  if (!resolve(args, home, state, name)) return 1;
  if (args.rest.empty()) return admin_error("nothing to set");
  File_Lock lock(home.state_lock());
  if (!lock.held()) return admin_error("cannot lock " + home.state_lock());
  if (!load_state(home, state, err)) return admin_error(err);
  json* inst = find_instance(state, name);
  if (!inst) return admin_error("instance " + name + " vanished from the state file");
  for (const std::string& a : args.rest) {
    if (!set_key(*inst, a, err)) return admin_error(err);
  }
  if (!save_state(home, state, err)) return admin_error(err);
  return 0;
}

int run_admin(int argc, char** argv) {
  Admin_Args args;
  std::string err;
  if (!parse_admin_args(argc, argv, args, err)) {
    std::fprintf(stderr, "oscar-sim: %s\n%s", err.c_str(), USAGE);
    return 2;
  }
  if (args.command == "init") return admin_init(args);
  if (args.command == "start") return admin_start(args);
  if (args.command == "stop") return admin_stop(args);
  if (args.command == "touch") return admin_touch(args);
  if (args.command == "checksum") return admin_checksum(args);
  if (args.command == "set") return admin_set(args);
  if (args.command == "create-table") return admin_create_table(args);
  if (args.command == "change-table") return admin_change_table(args);
  if (args.command == "table-checksum") return admin_table_checksum(args);
  if (args.command == "drop") return admin_drop(args);
  if (args.command == "drop-tablespace") return admin_drop_tablespace(args);
  if (args.command == "switch-over") return admin_switch_over(args);
  std::fprintf(stderr, "oscar-sim: unknown command %s\n%s", args.command.c_str(), USAGE);
  return 2;
}

}  // namespace sim
