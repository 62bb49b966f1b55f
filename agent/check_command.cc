#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "agent/catalog_listing.h"
#include "agent/cluster_view.h"
#include "agent/commands.h"
#include "agent/instance_access.h"
#include "agent/instance_registration.h"
#include "agent/job_documents.h"
#include "agent/json_output.h"
#include "agent/pool_lookup.h"
#include "agent/set_verify.h"
#include "agent/state_dir.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/jobs/job_def_names.h"
#include "host/jobs/job_types.h"
#include "host/process/home_trust.h"
#include "host/storage/pool_info.h"

namespace {

const char OK[] = "ok";
const char FAILED[] = "FAIL";
const char WARN[] = "warn";
const char SKIPPED[] = "skipped";

// The tools every backup and restore of the instance runs.
const char* const TOOLS[] = {"bin/isql", "bin/brcmd", "bin/osrexp", "bin/osrimp"};

struct Verdict {
  std::string check;
  std::string verdict;  // OK, FAILED, WARN or SKIPPED
  std::string reason;
};

// The verdicts in order; a later check reads an earlier one's to skip
// itself when it depends on it.
class Report {
 public:
  bool add(const std::string& check, const std::string& verdict, const std::string& reason) {
    lines_.push_back({check, verdict, reason});
    return verdict == OK || verdict == WARN;
  }
  bool skip(const std::string& check, const std::string& reason) { return add(check, SKIPPED, reason); }
  bool failed() const {
    for (const Verdict& v : lines_)
      if (v.verdict == FAILED) return true;
    return false;
  }
  std::size_t count(const char* verdict) const {
    std::size_t n = 0;
    for (const Verdict& v : lines_) n += v.verdict == verdict ? 1 : 0;
    return n;
  }
  std::string text() const {
    std::vector<std::vector<std::string>> rows;
    for (const Verdict& v : lines_) rows.push_back({v.check, v.verdict, v.reason});
    return format_table(rows);
  }
  nlohmann::json json() const {
    nlohmann::json out = nlohmann::json::array();
    for (const Verdict& v : lines_) out.push_back({{"check", v.check}, {"verdict", v.verdict}, {"reason", v.reason}});
    return out;
  }

 private:
  std::vector<Verdict> lines_;
};

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string errno_text() { return std::strerror(errno); }

// The process id of the pid file's first line; 0 when there is none.
long pid_from_file(const std::string& path) {
  std::istringstream in(read_text_file(path));
  std::string first;
  if (!std::getline(in, first) || first.empty() || !std::isdigit(static_cast<unsigned char>(first[0]))) return 0;
  return std::strtol(first.c_str(), nullptr, 10);
}

// Whether the process runs: it exists and is not a zombie (a server that
// ended but was not reaped yet).
bool process_runs(long pid) {
  if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  const std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

// Creates and removes a file in dir; false with err when that fails.
bool can_write_in(const std::string& dir, std::string& err) {
  std::string name = dir + "/.oscar-agent-check-XXXXXX";
  const int fd = ::mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) {
    err = "cannot create a file in " + dir + ": " + errno_text();
    return false;
  }
  ::close(fd);
  if (::unlink(name.c_str()) != 0) {
    err = "cannot remove " + name + ": " + errno_text();
    return false;
  }
  return true;
}

// The directory itself when it exists, else its nearest existing parent,
// where the first backup will make it. Empty with err when a part of the
// path is something other than a directory.
std::string existing_directory(std::string dir, std::string& err) {
  for (;;) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return dir;
      err = dir + " is not a directory";
      return std::string();
    }
    const std::string::size_type slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    dir.erase(slash);
  }
}

// A pool to check: its name and its storage directory.
struct Pool_Dir {
  std::string name;
  std::string url;
};

// The pools of --pool, else every registered pool. False with err when a
// named pool is unknown or the registry cannot be read.
bool pools_to_check(const Command_Line& line, std::vector<Pool_Dir>& out, std::string& err) {
  std::vector<std::string> uuids;
  std::vector<std::string> names = option_values(line, "pool");
  if (names.empty()) {
    std::map<std::string, std::string> all;
    if (!pool_names(all, err)) return false;
    for (const auto& p : all) {
      uuids.push_back(p.first);
      names.push_back(p.second.empty() ? p.first : p.second);
    }
  } else {
    for (const std::string& name : names) {
      std::string uuid;
      if (!find_pool_uuid(name, uuid, err)) return false;
      uuids.push_back(uuid);
    }
  }
  for (std::size_t i = 0; i < uuids.size(); ++i) {
    Pool_Info info;
    if (!get_pool_info(uuids[i].c_str(), nullptr, info, false, 0, nullptr)) {
      err = "cannot read pool " + names[i] + " from the pool registry";
      return false;
    }
    out.push_back({names[i], info.url});
  }
  return true;
}

// The size of the newest full backup of the instance in the catalogue: 1
// with size set, 0 when there is none, -1 (err set) when the catalogue
// cannot be read.
int last_full_size(const Instance& inst, unsigned long long& size, std::string& err) {
  nlohmann::json rows;
  if (!backup_rows(resource_id(inst), rows, err)) return -1;
  const std::string full = job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, "");
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    if (!it->is_object() || !it->contains("type") || (*it)["type"] != full) continue;
    if (!it->contains("backup_set_size") || !(*it)["backup_set_size"].is_number_unsigned()) {
      err = "the newest full backup has no size in the catalogue";
      return -1;
    }
    size = (*it)["backup_set_size"].get<unsigned long long>();
    return 1;
  }
  return 0;
}

void check_pools(const std::vector<Pool_Dir>& pools, const Instance& inst, Report& report) {
  if (pools.empty()) {
    report.add("pools", WARN, "no pool registered");
    return;
  }
  unsigned long long full_size = 0;
  std::string catalog_err;
  const int full = last_full_size(inst, full_size, catalog_err);
  for (const Pool_Dir& p : pools) {
    const std::string check = "pool " + p.name;
    const std::string space = "space " + p.name;
    if (p.url.compare(0, 8, "file:///") != 0) {
      report.add(check, FAILED, "not a file:/// pool: " + p.url);
      report.skip(space, "the pool cannot be used");
      continue;
    }
    const std::string dir = p.url.substr(7);
    std::string err;
    const std::string existing = existing_directory(dir, err);
    if (existing.empty() || !can_write_in(existing, err)) {
      report.add(check, FAILED, err);
      report.skip(space, "the pool cannot be written");
      continue;
    }
    report.add(check, OK, existing == dir ? dir : dir + " (made by the first backup)");
    if (full == 0) {
      report.skip(space, "no full backup of " + inst.name + " yet");
      continue;
    }
    if (full < 0) {
      report.add(space, FAILED, catalog_err);
      continue;
    }
    struct statvfs vfs;
    if (::statvfs(existing.c_str(), &vfs) != 0) {
      report.add(space, FAILED, "cannot read the free space of " + existing + ": " + errno_text());
      continue;
    }
    const unsigned long long free_bytes =
        static_cast<unsigned long long>(vfs.f_bavail) * static_cast<unsigned long long>(vfs.f_frsize);
    const std::string sizes =
        size_text(free_bytes, false) + " free, the last full backup took " + size_text(full_size, false);
    report.add(space, free_bytes < full_size ? FAILED : OK, sizes);
  }
}

// Whether every catalogued set of the instance is still in its pool as
// recorded: one line for all of them, or one per set that is not.
void check_sets(const Instance& inst, Set_Check_Depth depth, Report& report) {
  Sets_Check found;
  std::string err;
  if (!check_resource_sets(resource_id(inst), depth, found, err)) {
    report.add("sets", FAILED, err);
    return;
  }
  for (const std::string& problem : found.problems) report.add("set", FAILED, problem);
  if (!found.problems.empty()) return;
  const char* how = depth == Set_Check_Depth::sizes ? " (sizes; --deep reads digests)" : " (digests read)";
  std::string text = std::to_string(found.checked) + (found.checked == 1 ? " set" : " sets") + " in place" + how;
  if (found.not_verified != 0) text += ", " + std::to_string(found.not_verified) + " recorded without a digest";
  if (found.checked == 0) text = "none catalogued";
  report.add("sets", found.not_verified == 0 ? OK : WARN, text);
}

// Whether the home's programs, which the agent runs as its own user, can be
// changed only by root and the home's owner.
bool check_programs(const Registered_Instance& inst, Report& report) {
  std::vector<std::string> problems;
  if (check_home_programs(inst.home, inst.name, problems))
    return report.add("programs", OK, "changeable only by root and the home's owner");
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return report.add("programs", FAILED, text);
}

// Runs every check of the instance in order into report.
void run_checks(const Oscar_Module& module, const Registered_Instance& inst, const std::vector<Pool_Dir>& pools,
                Set_Check_Depth depth, Report& report) {
  const Oscar_Module::Functions& f = module.functions();
  const char* home = inst.home.c_str();
  const char* name = inst.name.c_str();
  const bool home_ok = is_directory(inst.home) ? report.add("home", OK, inst.home)
                                               : report.add("home", FAILED, inst.home + " does not exist");

  if (!home_ok) {
    report.skip("tools", "no home");
  } else {
    std::string missing;
    for (const char* tool : TOOLS) {
      const std::string path = inst.home + "/" + tool;
      struct stat st;
      const char* why = nullptr;
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        why = " missing";
      else if (::access(path.c_str(), X_OK) != 0)
        why = " not executable";
      if (why != nullptr) missing += (missing.empty() ? "" : ", ") + std::string(tool) + why;
    }
    report.add("tools", missing.empty() ? OK : FAILED, missing.empty() ? "isql, brcmd, osrexp, osrimp" : missing);
  }
  bool programs_ok = false;
  if (!home_ok)
    report.skip("programs", "no home");
  else
    programs_ok = check_programs(inst, report);

  const std::string conf = inst.home + "/admin/" + inst.name + ".conf";
  bool conf_ok = false;
  bool conf_default = false;
  if (!home_ok) {
    report.skip("configuration", "no home");
  } else {
    struct stat st;
    if (::stat(conf.c_str(), &st) != 0 && errno == ENOENT) {
      conf_ok = conf_default = report.add("configuration", WARN, conf + " missing: the default port 2003 is used");
    } else {
      // Read, not only opened: a directory opens but does not read.
      const int fd = open_cloexec(conf.c_str(), O_RDONLY | O_NONBLOCK);
      char byte;
      const bool readable = fd >= 0 && ::read(fd, &byte, 1) >= 0;
      const std::string why = readable ? std::string() : errno_text();
      if (fd >= 0) ::close(fd);
      conf_ok = readable ? report.add("configuration", OK, conf)
                         : report.add("configuration", FAILED, "cannot read " + conf + ": " + why);
    }
  }

  uint16_t port = 0;
  bool port_ok = false;
  if (!conf_ok) {
    report.skip("port", home_ok ? "the configuration cannot be read" : "no home");
  } else {
    port_ok = f.get_instance_port(home, name, port)
                  ? report.add("port", OK, std::to_string(port) + (conf_default ? " (default)" : ""))
                  : report.add("port", FAILED, "no \"port = N\" line in " + conf);
  }

  bool server_ok = false;
  if (!home_ok) {
    report.skip("server", "no home");
  } else {
    const std::string pid_file = inst.home + "/admin/" + inst.name + ".db";
    const long pid = pid_from_file(pid_file);
    std::string state;
    if (pid == 0)
      report.add("server", FAILED, "not running (no process id in " + pid_file + ")");
    else if (!process_runs(pid))
      report.add("server", FAILED, "not running (process " + std::to_string(pid) + " is gone)");
    else if (!port_ok)
      server_ok = report.add("server", OK, "process " + std::to_string(pid) + " runs (its port is unknown)");
    else if (!f.get_instance_state(home, name, state))
      report.add("server", FAILED,
                 "process " + std::to_string(pid) + " runs but nothing listens on port " + std::to_string(port));
    else
      server_ok =
          report.add("server", OK, "process " + std::to_string(pid) + " listens on port " + std::to_string(port));
  }

  // The database is asked through its port: without one there is no
  // server to ask. Its tools are not run when others could have changed
  // them.
  const bool ask = server_ok && port_ok && programs_ok;
  const std::string why_not = !server_ok ? "the server is not running"
                              : !port_ok ? "the port is unknown"
                                         : "the home's programs are not trusted";
  bool login_ok = false;
  if (!ask) {
    report.skip("login", why_not);
  } else {
    std::string why;
    login_ok = module.test_login(inst.home, inst.name, inst.user, inst.password.c_str(), why)
                   ? report.add("login", OK, inst.user)
                   : report.add("login", FAILED, inst.user + ": " + why);
  }

  bool archive = false;
  if (!login_ok) {
    report.skip("archive-log", ask ? "no login" : why_not);
  } else if (!f.get_log_mode(home, name, inst.user.c_str(), inst.password.c_str(), port, archive)) {
    report.add("archive-log", FAILED, "the log mode cannot be read");
  } else {
    report.add("archive-log", archive ? OK : WARN,
               archive ? "ARCHIVELOG" : "NOARCHIVELOG: incremental backups stop the instance");
  }

  std::string version;
  if (!ask)
    report.skip("version", why_not);
  else if (f.get_version(home, port, name, version, false) && !version.empty())
    report.add("version", OK, version);
  else
    report.add("version", FAILED, "the server's version cannot be read");

  const std::string script = root_path("/etc/init.d/oscardb_" + inst.name + "d");
  struct stat st;
  if (::stat(script.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    report.add("start script", FAILED, script + " missing (instance add links the home's script there)");
  else if (::access(script.c_str(), X_OK) != 0)
    report.add("start script", FAILED, script + " not executable");
  else
    report.add("start script", OK, script);

  Cluster_Settings cluster;
  if (cluster_settings(*inst.record, cluster)) {
    for (const Cluster_Check& c : cluster_checks(module, inst.name, cluster, login_ok))
      report.add(c.check, c.ok ? OK : FAILED, c.reason);
  }
  check_pools(pools, *inst.record, report);
  check_sets(*inst.record, depth, report);
}

}  // namespace

int check_command(const Command_Line& line) {
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  Registered_Instance inst;
  if (!find_registered(line.words[1], inst, err)) return fail(EXIT_FAILED, "check: " + err);
  std::vector<Pool_Dir> pools;
  if (!pools_to_check(line, pools, err)) return fail(EXIT_FAILED, "check: " + err);
  Oscar_Module module;
  if (!load_module_option(line, module, err)) return fail(EXIT_FAILED, err);
  Report report;
  {
    Module_Log log;
    run_checks(module, inst, pools, line.flags.count("deep") != 0 ? Set_Check_Depth::digests : Set_Check_Depth::sizes,
               report);
  }
  if (line.flags.count("json") != 0)
    print_json({{"instance", inst.name}, {"checks", report.json()}});
  else
    std::printf("%s", report.text().c_str());
  if (!report.failed()) return EXIT_OK;
  return fail(EXIT_FAILED,
              "check: " + std::to_string(report.count(FAILED)) + " check(s) of instance " + inst.name + " failed");
}
