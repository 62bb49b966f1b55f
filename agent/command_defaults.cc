#include "agent/command_defaults.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The options the configuration may give, and the commands it gives each
// to (empty: every command that takes the option). A pool or a retention
// count is a default only where it names the destination or the rule; in
// check, expire or catalog rebuild --pool narrows what is looked at.
struct Configured_Option {
  const char* option;
  std::vector<std::string> commands;
};

const Configured_Option CONFIGURED[] = {
    {"timeout", {}},
    {"stall-timeout", {}},
    {"module", {}},
    {"pool", {"backup", "export"}},
    {"compression", {"backup", "export"}},
    {"level", {"backup", "export"}},
    {"keep-full", {"expire"}},
    {"keep-export", {"expire"}},
};

bool takes(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string command_name(const Agent_Command& command) {
  std::string name;
  for (const std::string& w : command.path) name += (name.empty() ? "" : " ") + w;
  return name;
}

// The instance the command works on: its first word when the command's
// words start with an instance's NAME.
std::string instance_word(const Agent_Command& command, const Command_Line& line) {
  const bool named = command.words.rfind("NAME", 0) == 0 || command.words.rfind("[NAME", 0) == 0;
  return named && line.words.size() > command.path.size() ? line.words[command.path.size()] : std::string();
}

}  // namespace

bool complete_command_line(const Agent_Command& command, const Agent_Config& config, Command_Line& line,
                           std::string& err) {
  const std::string name = command_name(command);
  // The coordinator's --state is a place of its own, kept only when given.
  if (name != "coordinator" && takes(command.options, "state") && option_value(line, "state").empty())
    line.options["state"] = default_state_dir(config);
  const std::string instance = instance_word(command, line);
  for (const Configured_Option& c : CONFIGURED) {
    if (!takes(command.options, c.option) || line.options.count(c.option) != 0) continue;
    if (!c.commands.empty() && !takes(c.commands, name)) continue;
    if (std::string(c.option) == "module" && std::getenv("OSCAR_MODULE") != nullptr) continue;
    const std::string value = config.value(c.option, instance, option_value(line, "pool"));
    if (!value.empty()) line.options[c.option] = value;
  }
  for (const std::string& required : command.required) {
    if (line.options.count(required) != 0) continue;
    err = "--" + required + " is required";
    if (takes({"pool", "keep-full"}, required))
      err += ", here or as " + required + " in the configuration" + (config.file.empty() ? "" : " " + config.file);
    return false;
  }
  return true;
}

bool command_makes_state(const Agent_Command& command, const Command_Line& line) {
  const std::string name = command_name(command);
  return name == "instance add" || name == "pool add" || (name == "discover" && line.flags.count("register") != 0);
}
