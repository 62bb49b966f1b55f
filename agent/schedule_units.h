#ifndef AGENT_SCHEDULE_UNITS_H
#define AGENT_SCHEDULE_UNITS_H

#include <string>
#include <vector>

// The scheduled runs of an instance as systemd runs them: the package's
// template units oscar-agent-backup@.{service,timer} (instance
// "NAME:LEVEL") and oscar-agent-expire@.{service,timer} (instance "NAME"),
// each instance given its calendar and its command line by drop-ins named
// DROPIN_FILE, which `schedule` writes and removes. Main thread.

extern const char* const DROPIN_FILE;  // "schedule.conf"

// One scheduled run of an instance: its kind (full, incr, diff or expire),
// its calendar (an OnCalendar= expression) and, for messages, where the
// calendar was given ("--incr", "incr of [schedules.nightly]").
struct Scheduled_Run {
  std::string kind;
  std::string calendar;
  std::string from;
};

// The unit name, without ".timer" or ".service", of `kind`'s runs of
// `instance`: "oscar-agent-backup@DB1:full", "oscar-agent-expire@DB1".
std::string schedule_unit(const std::string& instance, const std::string& kind);

// Whether `instance` may stand in a unit name as it is (letters, digits,
// '_', '.', '-'), so that the units' %i is the name itself.
bool unit_safe_name(const std::string& instance);

// The command line a scheduled run of `kind` executes: `agent` with the
// configuration file (when not empty) and the state directory that the
// scheduling run used, then "scheduled backup NAME:LEVEL" or "expire NAME".
std::vector<std::string> scheduled_command(const std::string& agent, const std::string& config,
                                           const std::string& state, const std::string& instance,
                                           const std::string& kind);

// The drop-ins' texts: the timer's calendar, the service's command line.
std::string timer_dropin(const std::string& calendar);
std::string service_dropin(const std::vector<std::string>& command);

// One line of an /etc/cron.d file running `command` as root at the cron
// time `fields`.
std::string cron_line(const std::string& fields, const std::vector<std::string>& command);

// The units (as schedule_unit names them) of `instance` that have a
// drop-in of ours in `unit_dir`.
std::vector<std::string> scheduled_units(const std::string& unit_dir, const std::string& instance);

// The paths of a unit's two drop-ins in `unit_dir`.
std::string timer_dropin_path(const std::string& unit_dir, const std::string& unit);
std::string service_dropin_path(const std::string& unit_dir, const std::string& unit);

// Writes (replacing) or removes a unit's two drop-ins; a drop-in directory
// left empty goes too. False with err (one line) on failure.
bool write_dropins(const std::string& unit_dir, const std::string& unit, const std::string& timer_text,
                   const std::string& service_text, std::string& err);
bool remove_dropins(const std::string& unit_dir, const std::string& unit, std::string& err);

#endif
