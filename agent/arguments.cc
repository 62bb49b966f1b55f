#include "agent/arguments.h"

namespace {

// Options that never take a value, whatever the command.
const std::set<std::string>& known_flags() {
  static const std::set<std::string> flags = {"json", "help", "no-check", "no-verify", "verbose"};
  return flags;
}

// Options that may be given more than once; every value is kept in order.
const std::set<std::string>& repeatable_options() {
  static const std::set<std::string> names = {"entries"};
  return names;
}

}  // namespace

bool split_command_line(int argc, const char* const* argv, Command_Line& out, std::string& err) {
  Command_Line line;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      line.words.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    if (name.empty()) {
      err = "empty option \"--\"";
      return false;
    }
    if (known_flags().count(name) != 0) {
      line.flags.insert(name);
      continue;
    }
    if (i + 1 >= argc) {
      err = "option --" + name + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    if (repeatable_options().count(name) != 0) {
      line.options.emplace(name, value);
      line.repeated[name].push_back(value);
      continue;
    }
    if (!line.options.emplace(name, value).second) {
      err = "option --" + name + " given twice";
      return false;
    }
  }
  out = line;
  return true;
}

bool check_command_line(const Command_Line& line, std::size_t skip, const Command_Form& form, std::string& err) {
  const std::size_t words = line.words.size() > skip ? line.words.size() - skip : 0;
  if (words < form.min_words) {
    err = "missing argument";
    return false;
  }
  if (words > form.max_words) {
    err = "unexpected argument \"" + line.words[skip + form.max_words] + "\"";
    return false;
  }
  for (const auto& o : line.options) {
    if (form.options.count(o.first) == 0) {
      err = "unknown option --" + o.first;
      return false;
    }
    if (o.second.empty()) {
      err = "option --" + o.first + " needs a value";
      return false;
    }
  }
  for (const std::string& f : line.flags) {
    if (form.flags.count(f) == 0) {
      err = "unknown option --" + f;
      return false;
    }
  }
  for (const std::string& r : form.required) {
    if (line.options.count(r) == 0) {
      err = "option --" + r + " is required";
      return false;
    }
  }
  return true;
}

std::string option_value(const Command_Line& line, const std::string& name) {
  auto it = line.options.find(name);
  return it == line.options.end() ? std::string() : it->second;
}

std::vector<std::string> option_values(const Command_Line& line, const std::string& name) {
  auto it = line.repeated.find(name);
  if (it != line.repeated.end()) return it->second;
  const std::string one = option_value(line, name);
  return one.empty() ? std::vector<std::string>() : std::vector<std::string>{one};
}
