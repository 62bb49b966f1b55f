#include "agent/agent_config.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <toml++/toml.h>
#include <vector>

const char* const DEFAULT_CONFIG_FILE = "/etc/oscar-agent/oscar-agent.conf";

namespace {

const long long MAX_DURATION_SECONDS = 3650LL * 24 * 3600;

enum class Kind { PATH, COUNT, CHOICE, NAME, DURATION, CALENDAR };

// One key the file may hold: where ('t' top level, 'i' [instance.NAME],
// 'p' [pool.NAME], 's' [schedule.NAME]), what its value is, and for a
// count its bounds, for a choice its words.
struct Key_Rule {
  const char* key;
  const char* where;
  Kind kind;
  long long min, max;
  const char* choices;
};

const Key_Rule RULES[] = {
    {"state", "t", Kind::PATH, 0, 0, nullptr},
    {"module", "t", Kind::PATH, 0, 0, nullptr},
    {"metrics-dir", "t", Kind::PATH, 0, 0, nullptr},
    {"max-age", "ti", Kind::DURATION, 0, 0, nullptr},
    {"timeout", "ti", Kind::COUNT, 1, 604800, nullptr},
    {"stall-timeout", "ti", Kind::COUNT, 1, 604800, nullptr},
    {"compression", "tip", Kind::CHOICE, 0, 0, "none zstd lzop auto"},
    {"level", "tip", Kind::COUNT, 1, 22, nullptr},
    {"pool", "ti", Kind::NAME, 0, 0, nullptr},
    {"keep-full", "ti", Kind::COUNT, 1, 100000, nullptr},
    {"keep-export", "ti", Kind::COUNT, 0, 100000, nullptr},
    {"schedule", "i", Kind::NAME, 0, 0, nullptr},
    {"full", "s", Kind::CALENDAR, 0, 0, nullptr},
    {"incr", "s", Kind::CALENDAR, 0, 0, nullptr},
    {"diff", "s", Kind::CALENDAR, 0, 0, nullptr},
    {"expire", "s", Kind::CALENDAR, 0, 0, nullptr},
};

const char* const TABLES = "the tables are [instance.NAME], [pool.NAME] and [schedule.NAME]";

Agent_Config& current() {
  static Agent_Config config;
  return config;
}

std::string place(const std::string& file, const toml::node& node) {
  const toml::source_region& at = node.source();
  return at.begin.line > 0 ? file + ":" + std::to_string(at.begin.line) : file;
}

const Key_Rule* rule_of(const std::string& key, char where) {
  for (const Key_Rule& r : RULES)
    if (key == r.key && std::strchr(r.where, where) != nullptr) return &r;
  return nullptr;
}

// The value of `node` as text when it suits `rule`, else false with why.
bool value_text(const Key_Rule& rule, const toml::node& node, std::string& text, std::string& why) {
  const std::string key = rule.key;
  if (rule.kind == Kind::COUNT) {
    const std::optional<long long> n = node.value_exact<long long>();
    if (!n || *n < rule.min || *n > rule.max) {
      why = key + " must be a whole number from " + std::to_string(rule.min) + " to " + std::to_string(rule.max);
      return false;
    }
    text = std::to_string(*n);
    return true;
  }
  const std::optional<std::string> s = node.value_exact<std::string>();
  if (!s) {
    why = key + " must be a quoted text";
    return false;
  }
  text = *s;
  long long seconds = 0;
  switch (rule.kind) {
    case Kind::PATH:
      if (text.empty() || text[0] != '/') why = key + " must be an absolute path, not \"" + text + "\"";
      break;
    case Kind::CHOICE:
      if (text.empty() || text.find(' ') != std::string::npos ||
          (" " + std::string(rule.choices) + " ").find(" " + text + " ") == std::string::npos)
        why = key + " must be one of " + rule.choices + ", not \"" + text + "\"";
      break;
    case Kind::NAME:
      if (!std::regex_match(text, std::regex("[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}")))
        why = key + " must be a name (letters, digits, _ . -), not \"" + text + "\"";
      break;
    case Kind::DURATION:
      if (!parse_duration(text, seconds) || seconds == 0)
        why = key + " must be a duration such as 26h, 90m or 2d, not \"" + text + "\"";
      break;
    case Kind::CALENDAR:
      if (text.empty() || text.find_first_of("\n\r") != std::string::npos)
        why = key + " must be a calendar expression such as \"Mon..Sat 01:30\"";
      break;
    case Kind::COUNT:
      break;
  }
  return why.empty();
}

// Reads one key of a table into `out`; `where` says which rules apply,
// `title` names the table in messages.
bool read_key(const std::string& file, const std::string& name, const toml::node& node, char where,
              const std::string& title, std::map<std::string, std::string>& out, std::string& err) {
  const Key_Rule* rule = rule_of(name, where);
  if (rule == nullptr) {
    err = place(file, node) + ": unknown key \"" + name + "\" in " + title;
    return false;
  }
  std::string why;
  if (!value_text(*rule, node, out[name], why)) {
    err = place(file, node) + ": " + why;
    return false;
  }
  return true;
}

// The [KIND.NAME] tables of one KIND.
bool read_named(const std::string& file, const std::string& kind, const toml::node& node, char where,
                std::map<std::string, std::map<std::string, std::string>>& out, std::string& err) {
  const toml::table* tables = node.as_table();
  if (tables == nullptr) {
    err = place(file, node) + ": " + kind + " must be tables [" + kind + ".NAME]";
    return false;
  }
  for (const auto& [key, sub] : *tables) {
    const std::string name(key.str());
    const std::string title = "[" + kind + "." + name + "]";
    if (!sub.is_table()) {
      err = place(file, sub) + ": " + kind + "." + name + " must be a table " + title;
      return false;
    }
    for (const auto& [k, value] : *sub.as_table())
      if (!read_key(file, std::string(k.str()), value, where, title, out[name], err)) return false;
  }
  return true;
}

bool read_config(const std::string& file, const toml::table& root, Agent_Config& config, std::string& err) {
  std::map<std::string, std::map<std::string, std::string>> schedules;
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    bool ok = true;
    if (name == "instance") {
      ok = read_named(file, name, node, 'i', config.instances, err);
    } else if (name == "pool") {
      ok = read_named(file, name, node, 'p', config.pools, err);
    } else if (name == "schedule") {
      ok = read_named(file, name, node, 's', schedules, err);
    } else if (node.is_table()) {
      err = place(file, node) + ": unknown table [" + name + "]: " + TABLES;
      ok = false;
    } else {
      ok = read_key(file, name, node, 't', "the top level", config.top, err);
    }
    if (!ok) return false;
  }
  for (const auto& s : schedules) {
    Agent_Schedule& to = config.schedules[s.first];
    const auto get = [&s](const char* k) {
      const auto it = s.second.find(k);
      return it == s.second.end() ? std::string() : it->second;
    };
    to = {get("full"), get("incr"), get("diff"), get("expire")};
  }
  for (const auto& i : config.instances) {
    const auto it = i.second.find("schedule");
    if (it != i.second.end() && config.schedules.count(it->second) == 0) {
      const toml::node* at = root.at_path("instance." + i.first + ".schedule").node();
      err = (at ? place(file, *at) : file) + ": schedule \"" + it->second + "\" of [instance." + i.first +
            "] is not defined (no [schedule." + it->second + "])";
      return false;
    }
  }
  return true;
}

// A file that others may change would let them choose the module the agent
// loads and where it keeps its state.
bool trusted_file(const std::string& path, std::string& err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    err = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    err = path + ": not a regular file";
    return false;
  }
  if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022) != 0) {
    err = path + ": other users may change it (it must belong to root or to this user, mode 0644 or stricter)";
    return false;
  }
  return true;
}

}  // namespace

std::string Agent_Config::value(const std::string& key, const std::string& instance, const std::string& pool) const {
  for (const auto* level : {instance.empty() ? nullptr : &instances, pool.empty() ? nullptr : &pools}) {
    if (level == nullptr) continue;
    const auto table = level->find(level == &instances ? instance : pool);
    if (table == level->end()) continue;
    const auto it = table->second.find(key);
    if (it != table->second.end()) return it->second;
  }
  const auto it = top.find(key);
  return it == top.end() ? std::string() : it->second;
}

bool load_agent_config(const std::string& path, Agent_Config& config, std::string& err) {
  config = Agent_Config();
  std::string file = path;
  if (file.empty()) {
    struct stat st;
    if (::stat(DEFAULT_CONFIG_FILE, &st) != 0 && errno == ENOENT) return true;
    file = DEFAULT_CONFIG_FILE;
  }
  if (!trusted_file(file, err)) return false;
  toml::table root;
  try {
    root = toml::parse_file(file);
  } catch (const toml::parse_error& e) {
    err = file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  }
  config.file = file;
  return read_config(file, root, config, err);
}

const Agent_Config& agent_config() { return current(); }

void set_agent_config(const Agent_Config& config) { current() = config; }

std::string default_state_dir(const Agent_Config& config) {
  const char* env = std::getenv("OSCAR_AGENT_STATE");
  if (env != nullptr && *env != '\0') return env;
  const std::string configured = config.value("state");
  if (!configured.empty()) return configured;
  if (::geteuid() == 0) return "/var/lib/oscar-agent";
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/oscar-agent";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/oscar-agent";
  const passwd* pw = ::getpwuid(::geteuid());
  return pw != nullptr && pw->pw_dir != nullptr ? std::string(pw->pw_dir) + "/.local/state/oscar-agent"
                                                : std::string();
}

bool parse_duration(const std::string& text, long long& seconds) {
  if (text == "0") {
    seconds = 0;
    return true;
  }
  static const std::regex re("([0-9]{1,9})([smhd])");
  std::smatch m;
  if (!std::regex_match(text, m, re)) return false;
  const long long unit = m[2] == "s" ? 1 : m[2] == "m" ? 60 : m[2] == "h" ? 3600 : 86400;
  seconds = std::stoll(m[1]) * unit;
  return seconds <= MAX_DURATION_SECONDS;
}
