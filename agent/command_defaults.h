#ifndef AGENT_COMMAND_DEFAULTS_H
#define AGENT_COMMAND_DEFAULTS_H

#include <string>

#include "agent/agent_config.h"
#include "agent/arguments.h"

// Completes a parsed command line from the configuration: the state
// directory (see default_state_dir) and, where the command takes them and
// the line does not give them, the module (unless $OSCAR_MODULE is set),
// time-outs, the destination pool and compression of backups and exports,
// and the retention counts of expire, each looked up for the command's
// instance and pool (Agent_Config::value). Then checks the options the
// command requires: false with the usage error's text when one is still
// missing.
bool complete_command_line(const Agent_Command& command, const Agent_Config& config, Command_Line& line,
                           std::string& err);

// Whether the command registers something, and so may make a missing state
// directory; every other command refuses one.
bool command_makes_state(const Agent_Command& command, const Command_Line& line);

#endif
