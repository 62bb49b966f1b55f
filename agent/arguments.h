#ifndef AGENT_ARGUMENTS_H
#define AGENT_ARGUMENTS_H

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

// The command line of oscar-agent, as a command receives it once it has
// been checked against the command's form: its words (the command's own
// words, then its positional arguments, in order), the options given with
// their values and the flags given.
struct Command_Line {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;  // "--pool p1" gives options["pool"] = "p1"
  std::set<std::string> flags;                 // "--json" gives "json"
  // Every value of a repeatable option ("--entries"), in order; `options`
  // holds its first.
  std::map<std::string, std::vector<std::string>> repeated;
};

// One command of oscar-agent: the words that name it, what it accepts and
// the function that runs it. Every option and flag name must be one the
// agent documents (see option_help); a command that names another one is
// a programming error and makes the parser refuse every command line.
struct Agent_Command {
  std::vector<std::string> path;        // {"instance", "add"}
  std::string words;                    // the positional words as help shows them: "NAME [DATABASE [SCHEMA]]"
  std::size_t min_words;                // positional words at least ...
  std::size_t max_words;                // ... and at most
  std::vector<std::string> options;     // options that take a value
  std::vector<std::string> required;    // of those, the ones that must be given
  std::vector<std::string> repeatable;  // of those, the ones that may be given more than once
  std::vector<std::string> flags;       // options without a value
  std::string summary;                  // one line for the command list
  int (*run)(const Command_Line&);
  // What each positional word is, for the command's help ("NAME: the
  // registered instance"); a command with words must say.
  std::string words_help = std::string();
};

// The outcome of parsing: either a command to run with its line, or an
// exit status (help was printed: 0; the line is wrong: 2, after one
// "oscar-agent: ..." line on `err`).
struct Parsed_Command {
  const Agent_Command* command = nullptr;
  Command_Line line;
  int exit_status = 0;
};

// Parses argv (with the program name first) against the commands: the
// words choose the command, "--help" at any level prints that level's help
// on `out`. Unknown commands and options (with the closest known option
// when one is near), missing or repeated values, missing required options,
// an option given without the one it needs (--level without
// --compression) and too many or too few words are refused on `err`,
// naming the problem and the command whose help to read. Main thread only
// (the parser is not reentrant).
// "--version" before any command prints what `version` answers on `out`
// and exits 0.
Parsed_Command parse_command_line(const std::vector<Agent_Command>& commands, int argc, const char* const* argv,
                                  std::FILE* out, std::FILE* err, std::string (*version)() = nullptr);

// The value name and help text of an option or flag the agent knows; null
// for any other name.
const char* const* option_help(const std::string& name);

// The help text of option `name` in `command`: where the option means more
// in one command than the common text says (--point), that command's
// text; a required option's text never names a default.
std::string command_option_help(const Agent_Command& command, const std::string& name);

// The value of option `name`, empty when absent.
std::string option_value(const Command_Line& line, const std::string& name);

// Every value of option `name` in order (a repeatable option), none when absent.
std::vector<std::string> option_values(const Command_Line& line, const std::string& name);

#endif
