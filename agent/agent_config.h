#ifndef AGENT_AGENT_CONFIG_H
#define AGENT_AGENT_CONFIG_H

#include <map>
#include <string>

// The agent's configuration file, oscar-agent.conf(5): TOML holding
// defaults for the command line's options at the top level, in
// [instance.NAME] and [pool.NAME] tables, and named schedules in
// [schedule.NAME] tables. Every value is checked when the file is read, so
// that a bad one is reported with its file and line before any command runs.

// Where the agent looks when --config is not given; a missing file there is
// no error.
extern const char* const DEFAULT_CONFIG_FILE;

// A named schedule: systemd calendar expressions (OnCalendar=) of each
// kind of scheduled run, empty when the schedule has none of that kind.
struct Agent_Schedule {
  std::string full, incr, diff, expire;
};

struct Agent_Config {
  std::string file;  // the file read; empty when none was
  // Values as text ("3", "zstd", "/srv/state"), by key: the top level, each
  // [instance.NAME] and each [pool.NAME].
  std::map<std::string, std::string> top;
  std::map<std::string, std::map<std::string, std::string>> instances;
  std::map<std::string, std::map<std::string, std::string>> pools;
  std::map<std::string, Agent_Schedule> schedules;

  // The value of `key` for a run on `instance` with `pool`: the
  // instance's own, else the pool's, else the top level's; empty when the
  // file sets none.
  std::string value(const std::string& key, const std::string& instance = std::string(),
                    const std::string& pool = std::string()) const;
};

// Reads the configuration: `path` when given (it must exist), else
// DEFAULT_CONFIG_FILE when it exists. False with one line
// "FILE:LINE: what is wrong" (or "FILE: ..." when no line applies).
bool load_agent_config(const std::string& path, Agent_Config& config, std::string& err);

// The configuration this run read (empty before main has set it).
const Agent_Config& agent_config();
void set_agent_config(const Agent_Config& config);

// The state directory when --state is not given: $OSCAR_AGENT_STATE, else
// the configuration's `state`, else /var/lib/oscar-agent for root and
// $XDG_STATE_HOME/oscar-agent (or ~/.local/state/oscar-agent) for others.
std::string default_state_dir(const Agent_Config& config);

// "30s", "15m", "26h", "7d" or "0" as seconds, at most 10 years; false
// for anything else.
bool parse_duration(const std::string& text, long long& seconds);

#endif
