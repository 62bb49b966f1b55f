#ifndef AGENT_ARGUMENTS_H
#define AGENT_ARGUMENTS_H

#include <map>
#include <set>
#include <string>
#include <vector>

// The command line of oscar-agent: "oscar-agent WORD... [--name value]...
// [--flag]...". Words are the command and its positional arguments in
// order; every option but the flags named by the command takes the next
// argument as its value.
struct Command_Line {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;  // "--pool p1" gives options["pool"] = "p1"
  std::set<std::string> flags;                 // "--json" gives "json"
  // Every value of an option that may be repeated ("--entries"), in order;
  // `options` holds its first.
  std::map<std::string, std::vector<std::string>> repeated;
};

// What one command accepts: how many positional words (after the command's
// own words), which options and which of them are required, which flags.
struct Command_Form {
  std::size_t min_words;
  std::size_t max_words;
  std::set<std::string> options;
  std::set<std::string> required;
  std::set<std::string> flags;
};

// Splits argv (without the program name). False with err when an option
// lacks its value, an option is given twice or is empty ("--"). The
// command itself is not checked here.
bool split_command_line(int argc, const char* const* argv, Command_Line& out, std::string& err);

// Checks a split command line against what the command accepts; `skip` is
// the number of leading words that name the command ("instance add" is 2).
// False with err naming the first problem.
bool check_command_line(const Command_Line& line, std::size_t skip, const Command_Form& form, std::string& err);

// The value of option `name`, empty when absent.
std::string option_value(const Command_Line& line, const std::string& name);

// Every value of option `name` in order (a repeatable option), none when absent.
std::vector<std::string> option_values(const Command_Line& line, const std::string& name);

#endif
