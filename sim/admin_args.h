#ifndef SIM_ADMIN_ARGS_H
#define SIM_ADMIN_ARGS_H

// Command-line parsing for "oscar-sim COMMAND HOME [--option value]... [KEY=VALUE]...".

#include <map>
#include <string>
#include <vector>

namespace sim {

struct Admin_Args {
  std::string command;
  std::string home;
  std::map<std::string, std::string> options;  // "--port 2003" gives options["port"] = "2003"
  std::vector<std::string> rest;               // other words, in order
};

// False with err when an option lacks its value or HOME is missing.
bool parse_admin_args(int argc, char** argv, Admin_Args& args, std::string& err);

// "123", "64K", "4M", "2G" (powers of 1024); false for anything else.
bool parse_size(const std::string& text, uint64_t& bytes);

}  // namespace sim

#endif
