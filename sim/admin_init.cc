// "oscar-sim init": makes (or extends) a database home with one instance.

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "admin_commands.h"
#include "datafiles.h"
#include "home.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

namespace {

std::string self_path() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

// Points HOME/bin/NAME at the simulator, replacing what was there.
bool install_link(const std::string& target, const std::string& link, std::string& err) {
  std::string tmp = link + ".new";
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
    err = "cannot make link " + link + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::string init_script(const std::string& self, const Home& home, const std::string& inst) {
  return "#!/bin/sh\n"
         "# Starts and stops the simulated OSCAR instance " +
         inst +
         ".\n"
         "case \"$1\" in\n"
         "  start) exec \"" +
         self + "\" start \"" + home.root + "\" --instance " + inst +
         " ;;\n"
         "  stop) exec \"" +
         self + "\" stop \"" + home.root + "\" --instance " + inst +
         " ;;\n"
         "  *) echo \"usage: $0 start|stop\" >&2; exit 2 ;;\n"
         "esac\n";
}

// A letter, then letters, digits or _, at most 26 characters in all.
bool valid_instance_name(const std::string& n) {
  if (n.empty() || n.size() > 26 || !std::isalpha(static_cast<unsigned char>(n[0]))) return false;
  for (char c : n) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

std::string option(const Admin_Args& args, const char* name) {
  auto it = args.options.find(name);
  return it == args.options.end() ? std::string() : it->second;
}

// The most data files --datafiles may ask for.
constexpr uint64_t MAX_DATAFILES = 10000;

// The data files of a new instance without --datafiles: one per tablespace
// of the default entry.
size_t entry_tablespace_count() { return default_instance("u", "p")["tablespaces"].size(); }

// Adds user tablespaces USERS02, USERS03, ... until the instance has
// `datafiles` tablespaces (one data file each).
void add_user_tablespaces(json& entry, uint64_t datafiles) {
  json& spaces = entry["tablespaces"];
  for (uint64_t n = 2; spaces.size() < datafiles; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "USERS%02llu", static_cast<unsigned long long>(n));
    spaces.push_back(json{{"name", name}, {"kind", "p"}, {"datafile", std::string(name) + ".dbf"}});
  }
}

}  // namespace

int admin_init(const Admin_Args& args) {
  Home home{args.home};
  if (home.root.empty() || home.root[0] != '/') return admin_error("HOME must be an absolute path");
  if (home.root.find_first_of(" \t\"'") != std::string::npos) return admin_error("HOME must not hold blanks or quotes");
  std::string inst = option(args, "instance");
  std::string user = option(args, "user");
  std::string password = option(args, "password");
  std::string vip = option(args, "vip");
  std::string mode = option(args, "archive-mode");
  if (!valid_instance_name(inst)) {
    return admin_error("--instance needs a name of letters, digits and _ (at most 26, starting with a letter)");
  }
  uint64_t port = 0;
  if (!parse_u64(option(args, "port"), port) || port == 0 || port > 65535) {
    return admin_error("--port needs a number from 1 to 65535");
  }
  if (user.empty() || user.find_first_of("/ \t\"'") != std::string::npos) {
    return admin_error("--user needs a name without blanks, quotes or /");
  }
  if (password.empty() || password.find_first_of("/ \t\"'") != std::string::npos) {
    return admin_error("--password needs a text without blanks, quotes or /");
  }
  if (!vip.empty() && !is_dotted_ipv4(vip)) return admin_error("--vip needs a dotted IPv4 address");
  if (vip.empty() && args.options.count("nodes")) return admin_error("--nodes needs --vip");
  if (mode.empty()) mode = "ARCHIVELOG";
  if (mode != "ARCHIVELOG" && mode != "NOARCHIVELOG")
    return admin_error("--archive-mode is ARCHIVELOG or NOARCHIVELOG");
  uint64_t size = 4ULL << 20;
  if (args.options.count("size") && !parse_size(option(args, "size"), size)) {
    return admin_error("--size needs a byte count such as 4M or 2G");
  }
  const size_t base_files = entry_tablespace_count();
  uint64_t datafiles = base_files;
  if (args.options.count("datafiles") &&
      (!parse_u64(option(args, "datafiles"), datafiles) || datafiles < base_files || datafiles > MAX_DATAFILES)) {
    return admin_error("--datafiles needs a number from " + std::to_string(base_files) + " to " +
                       std::to_string(MAX_DATAFILES));
  }
  std::string self = self_path();
  if (self.empty()) return admin_error("cannot find the simulator's own path");
  for (const std::string& d : {home.bin_dir(), home.admin_dir(), home.root + "/agent", home.root + "/odbs"}) {
    if (!make_dirs(d)) return admin_error("cannot create " + d);
  }
  std::string err;
  for (const char* tool : {"oscar", "isql", "brcmd", "osrexp", "osrimp"}) {
    if (!install_link(self, home.tool(tool), err)) return admin_error(err);
  }
  File_Lock lock(home.state_lock());
  if (!lock.held()) return admin_error("cannot lock " + home.state_lock());
  json state = default_state();
  if (is_regular_file(home.state_file()) && !load_state(home, state, err)) return admin_error(err);
  if (find_instance(state, inst)) return admin_error("instance " + inst + " already exists in " + home.root);
  json entry = default_instance(user, password);
  entry["archive_mode"] = mode;
  add_user_tablespaces(entry, datafiles);
  if (!vip.empty() && !cluster_nodes_of(vip, option(args, "nodes"), entry["cluster_nodes"], err))
    return admin_error(err);
  if (!create_instance_data(home.data_dir(inst), entry, inst, size, err)) return admin_error(err);
  if (!write_file_atomic(home.conf_file(inst), format_instance_conf(static_cast<uint16_t>(port), vip))) {
    return admin_error("cannot write " + home.conf_file(inst));
  }
  std::string script = home.admin_dir() + "/oscardb_" + inst + "d";
  if (!write_file_atomic(script, init_script(self, home, inst), 0755)) return admin_error("cannot write " + script);
  state["instances"][inst] = entry;
  if (!save_state(home, state, err)) return admin_error(err);
  return 0;
}

}  // namespace sim
