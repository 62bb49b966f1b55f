// schedule NAME: the instance's scheduled runs as systemd timers (drop-ins
// on the package's template units), or as cron lines where no systemd runs.

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "agent/agent_config.h"
#include "agent/commands.h"
#include "agent/pool_lookup.h"
#include "agent/program_run.h"
#include "agent/schedule_calendar.h"
#include "agent/schedule_units.h"
#include "agent/state_dir.h"
#include "host/services/instance_manager.h"

namespace {

const char* const KINDS[] = {"full", "incr", "diff", "expire"};
const char* const SYSTEM_UNIT_DIR = "/etc/systemd/system";
const int SYSTEMCTL_SECONDS = 120;

std::string config_name(const Agent_Config& config) {
  return config.file.empty() ? std::string(DEFAULT_CONFIG_FILE) : config.file;
}

// The runs the line asks for: its calendar options when it gives any, else
// the instance's named schedule in the configuration.
bool wanted_runs(const Command_Line& line, const std::string& name, std::vector<Scheduled_Run>& runs,
                 std::string& err) {
  for (const char* kind : KINDS)
    if (line.options.count(kind) != 0) runs.push_back({kind, option_value(line, kind), std::string("--") + kind});
  if (!runs.empty()) return true;
  const Agent_Config& config = agent_config();
  const std::string schedule = config.value("schedule", name);
  if (schedule.empty()) {
    err = "no calendar for " + name +
          ": give --full, --incr, --diff or --expire, or schedule = \"NAME\" in [instances." + name + "] of " +
          config_name(config);
    return false;
  }
  const Agent_Schedule& s = config.schedules.at(schedule);
  for (const auto& [kind, calendar] : {std::pair<const char*, const std::string*>{"full", &s.full},
                                       {"incr", &s.incr},
                                       {"diff", &s.diff},
                                       {"expire", &s.expire}})
    if (!calendar->empty()) runs.push_back({kind, *calendar, std::string(kind) + " of [schedules." + schedule + "]"});
  if (runs.empty()) err = "[schedules." + schedule + "] of " + config_name(config) + " gives no calendar";
  return !runs.empty();
}

// Whether the scheduled runs will find what they need in the
// configuration, since nobody is there to give it on their command line.
bool settings_complete(const std::string& name, const std::vector<Scheduled_Run>& runs, std::string& err) {
  const Agent_Config& config = agent_config();
  const std::string where = " in [instances." + name + "] of " + config_name(config);
  for (const Scheduled_Run& run : runs) {
    if (run.kind == "expire" && config.value("keep-full", name).empty()) {
      err = "the scheduled expiry of " + name + " needs keep-full: set keep-full = N" + where;
      return false;
    }
    if (run.kind == "expire") continue;
    const std::string pool = config.value("pool", name);
    if (pool.empty()) {
      err = "the scheduled backups of " + name + " need a pool: set pool = \"P\"" + where;
      return false;
    }
    std::string uuid;
    if (!find_pool_uuid(pool, uuid, err)) return false;
  }
  return true;
}

// The agent program now running, which the scheduled runs start too.
std::string this_program() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/usr/bin/oscar-agent");
}

// `path` made absolute, since the scheduled runs start in another
// directory; both paths exist by now (the state directory is open, the
// configuration was read).
std::string absolute(const std::string& path) {
  if (path.empty()) return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::vector<std::string> run_command(const Command_Line& line, const std::string& name, const std::string& kind) {
  return scheduled_command(this_program(), absolute(agent_config().file), absolute(option_value(line, "state")), name,
                           kind);
}

// The runs as the lines of an /etc/cron.d file, on standard output.
int print_cron(const Command_Line& line, const std::string& name, const std::vector<Scheduled_Run>& runs) {
  std::string file = "oscar-agent-" + name;
  std::replace(file.begin(), file.end(), '.', '_');  // cron skips files with a dot
  if (line.flags.count("remove") != 0) {
    std::printf("no systemd runs on this machine: remove the cron lines of %s (/etc/cron.d/%s)\n", name.c_str(),
                file.c_str());
    return EXIT_OK;
  }
  std::vector<std::string> lines;
  for (const Scheduled_Run& run : runs) {
    std::string fields, err;
    if (!cron_fields(run.calendar, fields, err))
      return fail(EXIT_USAGE, "schedule: " + run.from + ": no systemd runs on this machine and " + err);
    lines.push_back(cron_line(fields, run_command(line, name, run.kind)));
  }
  std::printf("# /etc/cron.d/%s: the scheduled runs of %s (no systemd runs on this machine)\n", file.c_str(),
              name.c_str());
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return EXIT_OK;
}

std::string said(const std::vector<std::string>& args) {
  std::string text = "systemctl";
  for (const std::string& a : args) text += " " + a;
  return text;
}

// Runs systemctl with `args` (or with --dry-run only says it would).
bool systemctl(const Command_Line& line, std::vector<std::string> args, std::string& err) {
  const std::string said = ::said(args);
  const bool dry = line.flags.count("dry-run") != 0;
  std::printf("%s%s\n", dry ? "would run: " : "", said.c_str());
  if (dry) return true;
  const std::string program = find_program("systemctl");
  if (program.empty()) {
    err = "systemd runs but systemctl is not found in PATH";
    return false;
  }
  args.insert(args.begin(), program);
  std::string output;
  const int status = run_tool(args, SYSTEMCTL_SECONDS, output, err);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  if (status > 0) err = said + " failed: " + output.substr(output.rfind('\n') + 1);
  return status == 0;
}

std::vector<std::string> timers(const std::vector<std::string>& units) {
  std::vector<std::string> out;
  for (const std::string& u : units) out.push_back(u + ".timer");
  return out;
}

// Writes the drop-ins of `runs` into the unit directory and removes those
// of runs no longer wanted; with the system's directory, lets systemd
// know and starts the timers, else prints how to.
int apply_units(const Command_Line& line, const std::string& name, const std::vector<Scheduled_Run>& runs) {
  const std::string given_dir = option_value(line, "unit-dir");
  const std::string dir = given_dir.empty() ? SYSTEM_UNIT_DIR : given_dir;
  const bool dry = line.flags.count("dry-run") != 0, tell = given_dir.empty();
  std::vector<std::string> wanted, stale;
  for (const Scheduled_Run& run : runs) wanted.push_back(schedule_unit(name, run.kind));
  for (const std::string& unit : scheduled_units(dir, name))
    if (std::find(wanted.begin(), wanted.end(), unit) == wanted.end()) stale.push_back(unit);
  std::string err;
  std::vector<std::string> disable = {"disable", "--now"}, enable = {"enable", "--now"};
  for (const std::string& t : timers(stale)) disable.push_back(t);
  for (const std::string& t : timers(wanted)) enable.push_back(t);
  if (tell && !stale.empty() && !systemctl(line, disable, err)) return fail(EXIT_FAILED, "schedule: " + err);
  for (const std::string& unit : stale) {
    if (!dry && !remove_dropins(dir, unit, err)) return fail(EXIT_FAILED, "schedule: " + err);
    std::printf("%s %s and %s\n", dry ? "would remove" : "removed", timer_dropin_path(dir, unit).c_str(),
                service_dropin_path(dir, unit).c_str());
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::string unit = wanted[i];
    if (!dry && !write_dropins(dir, unit, timer_dropin(runs[i].calendar),
                               service_dropin(run_command(line, name, runs[i].kind)), err))
      return fail(EXIT_FAILED, "schedule: " + err);
    std::printf("%s %s (OnCalendar=%s) and %s\n", dry ? "would write" : "wrote", timer_dropin_path(dir, unit).c_str(),
                runs[i].calendar.c_str(), service_dropin_path(dir, unit).c_str());
  }
  if (!tell) {
    std::printf("for systemd to take them: systemctl daemon-reload%s%s\n",
                stale.empty() ? "" : ("; " + said(disable)).c_str(),
                wanted.empty() ? "" : ("; " + said(enable)).c_str());
    return EXIT_OK;
  }
  if (!systemctl(line, {"daemon-reload"}, err) || (!wanted.empty() && !systemctl(line, enable, err)))
    return fail(EXIT_FAILED, "schedule: " + err);
  return EXIT_OK;
}

}  // namespace

int schedule_command(const Command_Line& line) {
  const std::string name = line.words[1];
  const bool remove = line.flags.count("remove") != 0;
  for (const char* kind : KINDS)
    if (remove && line.options.count(kind) != 0)
      return fail(EXIT_USAGE, std::string("schedule: --remove takes no --") + kind);
  if (!unit_safe_name(name)) return fail(EXIT_USAGE, "schedule: \"" + name + "\" cannot be part of a unit name");
  std::string err;
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  if (!Instance_Manager::instance()->find("oscar", name))
    return fail(EXIT_FAILED, "schedule: unknown instance \"" + name + "\" (add it with: instance add NAME --home ...)");
  std::vector<Scheduled_Run> runs;
  if (!remove && !wanted_runs(line, name, runs, err)) return fail(EXIT_USAGE, "schedule: " + err);
  if (!settings_complete(name, runs, err)) return fail(EXIT_FAILED, "schedule: " + err);
  for (const Scheduled_Run& run : runs)
    if (!check_calendar(run.calendar, err))
      return fail(EXIT_USAGE,
                  "schedule: " + run.from + " \"" + run.calendar + "\" is not a calendar systemd takes: " + err);
  const bool systemd = !option_value(line, "unit-dir").empty() || ::access("/run/systemd/system", F_OK) == 0;
  return systemd ? apply_units(line, name, runs) : print_cron(line, name, runs);
}
