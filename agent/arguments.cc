#include "agent/arguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <list>
#include <memory>

namespace {

// Every option and flag of the agent: name, value name (empty for a flag),
// help. One table, so that an option means the same in every command.
const char* const OPTIONS[][3] = {
    {"state", "DIR",
     "the agent's state directory (instances, pools, catalogue, logs; default: $OSCAR_AGENT_STATE, else state in "
     "the configuration, else /var/lib/oscar-agent for root, ~/.local/state/oscar-agent for others)"},
    {"config", "FILE", "the configuration file (default: /etc/oscar-agent/oscar-agent.conf when it exists)"},
    {"module", "PATH", "the database module to load (default: $OSCAR_MODULE, else liboscar.so of this installation)"},
    {"timeout", "SECONDS",
     "the longest the job may run, or a removal may wait for a job of the instance, 1 to 604800 (default 21600 for "
     "a job, 60 for a removal)"},
    {"stall-timeout", "SECONDS", "the longest a tool may move no data before the job fails (default 600)"},
    {"home", "HOME", "the database home directory"},
    {"user", "USER", "the database user the agent logs in as"},
    {"password-file", "FILE", "a file holding the user's password (one line)"},
    {"url", "URL", "where the pool stores its sets: file:///ABSOLUTE/PATH or s3://BUCKET/PREFIX"},
    {"endpoint", "URL", "the S3 service of an s3:// pool: http://HOST[:PORT] or https://HOST[:PORT]"},
    {"region", "REGION", "the region of an s3:// pool's service (default us-east-1)"},
    {"key-file", "FILE", "a file holding an s3:// pool's access key id and secret key (two lines)"},
    {"cipher", "aes-256-gcm", "encrypt the pool's sets at rest with this cipher (default: none)"},
    {"cipher-key-file", "FILE",
     "the pool's cipher key: 64 hex digits (openssl rand -hex 32) in a file others cannot read"},
    {"zstd-workers", "N", "threads that compress a zstd set, 0 or 1 for one (default: one per core)"},
    {"type", "full|incr|diff", "the backup level"},
    {"pool", "POOL", "the name of a registered pool"},
    {"compression", "none|zstd|lzop|auto", "how stored sets are compressed (default none)"},
    {"level", "N", "the compression level, 1 to 22 (default 1)"},
    {"point", "BACKUP_ID", "the backup or export set to use"},
    {"entries", "DB[/SCHEMA[/TABLE]]", "what to export: a database, a schema or a table; may be repeated"},
    {"database", "DB", "the database to import into (default: the exported one)"},
    {"as", "INSTANCE[/SCHEMA[/TABLE]]", "import under another instance, schema or table name"},
    {"instance-uuid", "UUID", "an instance by its uuid, also one no longer registered (instance remove prints it)"},
    {"keep-full", "N", "how many of the newest full backups to keep, with the sets resting on them"},
    {"keep-export", "N", "how many of the newest export sets to keep (default: all)"},
    {"from-host", "ID|NAME", "also take in the sets and files of this other host (its id or name)"},
    {"older-than", "DURATION",
     "only what is older than this: 30s, 15m, 2h, 1d, or 0 for anything (default 1d, so that sets being written "
     "are left alone)"},
    {"coordinator", "URL",
     "the instance is one of a cluster's nodes: before each job the agent asks the cluster's coordinator at "
     "http(s)://HOST[:PORT] whether this node runs it"},
    {"coordinator-token-file", "FILE", "a file holding the token of --coordinator (one line)"},
    {"listen", "HOST:PORT", "the address and port the coordinator listens on"},
    {"token-file", "FILE", "a file holding the token the coordinator and its nodes share (one line)"},
    {"tls-cert", "FILE", "serve https with this certificate (PEM), with --tls-key"},
    {"tls-key", "FILE", "the private key (PEM) of --tls-cert, in a file others cannot read"},
    {"round", "SECONDS", "how long a round of the choice of a node lasts, 1 to 3600 (default 30)"},
    {"full", "CALENDAR",
     "when to run full backups: a systemd calendar expression (daily, \"Sun 01:00\", \"Mon..Sat 01:30\")"},
    {"incr", "CALENDAR", "when to run incremental backups: a systemd calendar expression"},
    {"diff", "CALENDAR", "when to run differential backups: a systemd calendar expression"},
    {"expire", "CALENDAR", "when to expire old sets (keep-full of the configuration): a systemd calendar expression"},
    {"unit-dir", "DIR",
     "write the timers' drop-ins under DIR rather than /etc/systemd/system, and leave systemctl to you (for an "
     "image being prepared, or to review them first)"},
    {"json", "", "print one JSON document on standard output"},
    {"bytes", "", "show sizes in bytes rather than in binary units (KiB, MiB, ...)"},
    {"verify", "", "also read each set and check its digest"},
    {"deep", "", "read every catalogued set and check its digest, not only its size"},
    {"no-check", "", "register without testing the login"},
    {"no-verify", "", "do not check the stored sets against their records before the restore"},
    {"dry-run", "", "only print what would be done"},
    {"force", "",
     "go on without asking: also remove what the command otherwise refuses to, restore over a running "
     "instance"},
    {"replace", "", "import over existing tables and schemas without asking, replacing them"},
    {"verbose", "", "also show the job log on the console"},
    {"register", "", "register the named instances"},
    {"all", "", "also the sets of instances no longer registered"},
    {"remove", "", "stop the instance's scheduled runs and remove their drop-ins"},
};

// Where an option means more in one command than its common text says:
// command word, option, help.
const char* const COMMAND_OPTIONS[][3] = {
    {"backup", "pool", "the pool to store into (default: pool in the configuration; one of the two is required)"},
    {"export", "pool", "the pool to store into (default: pool in the configuration; one of the two is required)"},
    {"expire", "keep-full",
     "how many of the newest full backups to keep, with the sets resting on them (default: keep-full in the "
     "configuration; one of the two is required)"},
    {"restore", "point", "the backup to restore to (default: the newest)"},
    {"verify", "point", "check only this backup and the sets it rests on (default: every set of the instance)"},
    {"import", "point", "the export set to import (its id as catalog lists it)"},
    {"coordinator", "state", "keep the last decisions in DIR/coordinator.json across restarts (default: in memory)"},
};

bool listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

const char* const EXIT_STATUS_HELP =
    "Exit status: 0 done (also a job that the cluster's coordinator gave to another node); 1 failed, or status "
    "found an instance whose backups are old or failed; 2 the command line or the configuration file is wrong; "
    "128+N stopped by signal N (130 Ctrl-C, 143 SIGTERM).";

// Options that every command takes, also before its words ("oscar-agent
// --state DIR catalog"); the first two take a value.
const char* const GLOBAL_OPTIONS[] = {"--state", "--config", "--verbose", "--json"};

// Options the configuration file may give: the parser does not require
// them, the caller checks them once the file is read.
bool configurable(const std::string& name) { return name == "state" || name == "pool" || name == "keep-full"; }

// argv with the global options given before the command's words moved
// after them, where the command's parser looks for them.
std::vector<std::string> global_options_last(int argc, const char* const* argv) {
  std::vector<std::string> front, globals;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string word = argv[i];
    const std::string name = word.substr(0, word.find('='));
    const auto known = std::find_if(std::begin(GLOBAL_OPTIONS), std::end(GLOBAL_OPTIONS),
                                    [&name](const char* g) { return name == g; });
    if (known == std::end(GLOBAL_OPTIONS)) break;
    globals.push_back(word);
    const bool takes_value = known - std::begin(GLOBAL_OPTIONS) < 2;
    if (takes_value && word.find('=') == std::string::npos && i + 1 < argc) globals.push_back(argv[++i]);
  }
  std::vector<std::string> out = {argv[0]};
  out.insert(out.end(), argv + i, argv + argc);
  out.insert(out.end(), globals.begin(), globals.end());
  return out;
}

// Shows a command's words in its usage line as the command describes them
// ("NAME [DATABASE [SCHEMA]]", kept as the word option's type name) rather
// than as CLI11 would ("NAME..."), and in the list of positionals what
// each word is.
class Usage_Formatter : public CLI::Formatter {
 public:
  std::string make_option_usage(const CLI::Option* opt) const override {
    return opt->get_positional() ? opt->get_type_name() : CLI::Formatter::make_option_usage(opt);
  }
  std::string make_option_name(const CLI::Option* opt, bool is_positional) const override {
    return is_positional ? opt->get_type_name() : CLI::Formatter::make_option_name(opt, is_positional);
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_positional() ? std::string() : CLI::Formatter::make_option_opts(opt);
  }
};

// Where CLI11 puts what it parsed for one command.
struct Command_Values {
  const Agent_Command* command = nullptr;
  // Whether other commands go on from this one's words ("catalog" and
  // "catalog rebuild"): CLI11 would then ask for this one's required
  // options when the longer command is given, so they are checked here.
  bool has_children = false;
  CLI::App* app = nullptr;
  std::vector<std::string> words;
  std::map<std::string, std::string> values;
  std::map<std::string, std::vector<std::string>> lists;
  std::map<std::string, bool> flags;
};

// An empty value is as good as none; refuse it where it is given.
const CLI::Validator& non_empty() {
  static const CLI::Validator check(
      [](std::string& value) { return value.empty() ? std::string("needs a value") : std::string(); }, "");
  return check;
}

// The sub-command named `name` of `parent`, made (as a group that needs a
// further word) when it does not exist yet.
CLI::App* group(CLI::App& parent, const std::string& name) {
  for (CLI::App* sub : parent.get_subcommands([](CLI::App*) { return true; }))
    if (sub->get_name() == name) return sub;
  const std::string help =
      name == "scheduled" ? "the runs the timers of schedule start" : "register, list and remove " + name + "s";
  CLI::App* sub = parent.add_subcommand(name, help);
  sub->require_subcommand(1);
  return sub;
}

// Adds one command's options to its CLI11 app; false when the command
// names an option the agent does not document.
bool add_options(Command_Values& v) {
  const Agent_Command& s = *v.command;
  if (s.max_words > 0) {
    // Takes every word so that a surplus one is reported by name, not by count.
    std::string name = s.words.substr(0, s.words.find(' '));
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '[' || c == ']'; }), name.end());
    CLI::Option* o = v.app->add_option(name, v.words, s.words_help.empty() ? s.words : s.words_help);
    o->expected(1, CLI::detail::expected_max_vector_size)->type_name(s.words);
    if (s.min_words > 0) o->required();
  }
  // Unknown options are reported by name, see leftover().
  v.app->allow_extras();
  for (const std::string& name : s.options) {
    const char* const* help = option_help(name);
    if (help == nullptr || help[1][0] == '\0') return false;
    const std::string text = command_option_help(s, name);
    CLI::Option* o = listed(s.repeatable, name)
                         ? v.app->add_option("--" + name, v.lists[name], text)->allow_extra_args(false)
                         : v.app->add_option("--" + name, v.values[name], text);
    o->type_name(help[1])->check(non_empty());
    if (listed(s.required, name) && !v.has_children && !configurable(name)) o->required();
  }
  if (!listed(s.options, "config"))
    v.app->add_option("--config", v.values["config"], option_help("config")[2])
        ->type_name(option_help("config")[1])
        ->check(non_empty());
  // A compression level means nothing without a compression to apply it to.
  CLI::Option* level = v.app->get_option_no_throw("--level");
  CLI::Option* compression = v.app->get_option_no_throw("--compression");
  if (level != nullptr && compression != nullptr) level->needs(compression);
  for (const std::string& name : s.flags) {
    const char* const* help = option_help(name);
    if (help == nullptr || help[1][0] != '\0') return false;
    v.app->add_flag("--" + name, v.flags[name], help[2])->disable_flag_override();
  }
  return true;
}

// The first word that names no command where one is expected ("oscar-agent
// frobnicate", "oscar-agent pool frob"), so that the error says so rather
// than that a command is required.
std::string unknown_command(CLI::App& top, int argc, const char* const* argv) {
  CLI::App* at = &top;
  std::string said;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] == '-') return std::string();
    said += (said.empty() ? "" : " ") + word;
    CLI::App* next = nullptr;
    for (CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; }))
      if (sub->get_name() == word) next = sub;
    if (next == nullptr) return "unknown command \"" + said + "\"";
    at = next;
    if (at->get_require_subcommand_min() == 0) return std::string();
  }
  return at == &top ? std::string("no command given") : "\"" + said + "\" needs a further command word";
}

// The number of single-letter edits (insert, remove, replace) from a to b.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The option or flag of the command nearest to `given` ("--typ" gives
// "--type"), empty when none is near enough to be a likely slip.
std::string closest_option(const Agent_Command& command, const std::string& given) {
  std::string best;
  std::size_t best_distance = std::max<std::size_t>(2, given.size() / 3) + 1;
  for (const auto* names : {&command.options, &command.flags}) {
    for (const std::string& name : *names) {
      const std::string candidate = "--" + name;
      const bool prefix = given.size() > 3 && candidate.compare(0, given.size(), given) == 0;
      const std::size_t d = prefix ? 1 : edit_distance(given, candidate);
      if (d < best_distance) {
        best_distance = d;
        best = candidate;
      }
    }
  }
  return best;
}

// What a command did not take: the first unknown option (with the closest
// known one) or surplus word, empty when it took everything.
std::string leftover(const Command_Values& v) {
  const std::vector<std::string> rest = v.app->remaining();
  if (rest.empty()) return std::string();
  if (rest[0].size() > 1 && rest[0][0] == '-') {
    const std::string given = rest[0].substr(0, rest[0].find('='));
    const std::string near = closest_option(*v.command, given);
    return "unknown option " + given + (near.empty() ? std::string() : " (did you mean " + near + "?)");
  }
  return "unexpected argument \"" + rest[0] + "\"";
}

// The words of the command being parsed ("pool add"), empty when the line
// names none yet.
std::string command_words(const std::list<Command_Values>& values) {
  std::string words;
  for (const Command_Values& v : values) {
    if (!v.app->parsed()) continue;
    std::string these;
    for (const std::string& w : v.command->path) these += (these.empty() ? "" : " ") + w;
    if (these.size() > words.size()) words = these;
  }
  return words;
}

Command_Line command_line(const Command_Values& v) {
  Command_Line line;
  line.words = v.command->path;
  line.words.insert(line.words.end(), v.words.begin(), v.words.end());
  for (const auto& o : v.values)
    if (v.app->count("--" + o.first) != 0) line.options[o.first] = o.second;
  for (const auto& o : v.lists) {
    if (o.second.empty()) continue;
    line.repeated[o.first] = o.second;
    line.options[o.first] = o.second.front();
  }
  for (const auto& f : v.flags)
    if (f.second) line.flags.insert(f.first);
  return line;
}

// One line naming the problem and where to read the command's form.
int usage_error(std::FILE* err, const std::string& text, const std::string& command = std::string()) {
  std::fprintf(err, "oscar-agent: %s (see oscar-agent %s%s--help)\n", text.c_str(), command.c_str(),
               command.empty() ? "" : " ");
  return 2;
}

// Why a line that CLI11 refused is wrong: an unknown option comes first,
// since a misspelt required option is otherwise reported as missing.
std::string refusal(const std::list<Command_Values>& values, CLI::App& top, int argc, const char* const* argv,
                    const CLI::ParseError& e) {
  for (const Command_Values& v : values) {
    if (!v.app->parsed()) continue;
    const std::string rest = leftover(v);
    if (rest.compare(0, 15, "unknown option ") == 0) return rest;
  }
  const std::string unknown = unknown_command(top, argc, argv);
  return unknown.empty() ? e.what() : unknown;
}

}  // namespace

Parsed_Command parse_command_line(const std::vector<Agent_Command>& commands, int given_argc,
                                  const char* const* given_argv, std::FILE* out, std::FILE* err,
                                  std::string (*version)()) {
  Parsed_Command result;
  const std::vector<std::string> args = global_options_last(given_argc, given_argv);
  std::vector<const char*> arg_pointers;
  for (const std::string& a : args) arg_pointers.push_back(a.c_str());
  const int argc = static_cast<int>(arg_pointers.size());
  const char* const* argv = arg_pointers.data();
  CLI::App top("oscar-agent: backs up, restores, exports and imports OSCAR database instances", "oscar-agent");
  top.require_subcommand(1);
  top.footer(EXIT_STATUS_HELP);
  top.formatter(std::make_shared<Usage_Formatter>());
  if (version != nullptr)
    top.set_version_flag("--version", std::function<std::string()>(version),
                         "print the agent's version and the build of the module it loads");
  std::list<Command_Values> values;
  for (const Agent_Command& command : commands) {
    CLI::App* parent = &top;
    for (std::size_t i = 0; i + 1 < command.path.size(); ++i) parent = group(*parent, command.path[i]);
    values.emplace_back();
    values.back().command = &command;
    for (const Agent_Command& other : commands)
      values.back().has_children =
          values.back().has_children || (other.path.size() > command.path.size() &&
                                         std::equal(command.path.begin(), command.path.end(), other.path.begin()));
    values.back().app = parent->add_subcommand(command.path.back(), command.summary);
    if (!add_options(values.back())) {
      result.exit_status = usage_error(err, "the command \"" + command.path.back() + "\" names an unknown option");
      return result;
    }
  }
  try {
    top.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    std::fputs(top.help().c_str(), out);
    return result;
  } catch (const CLI::CallForVersion& e) {
    std::fputs(e.what(), out);
    return result;
  } catch (const CLI::ParseError& e) {
    result.exit_status = usage_error(err, refusal(values, top, argc, argv, e), command_words(values));
    return result;
  }
  for (const Command_Values& v : values) {
    if (!v.app->parsed()) continue;
    const bool child_ran = v.has_children && std::any_of(values.begin(), values.end(), [&](const Command_Values& o) {
                             return &o != &v && o.app->parsed() && o.app->get_parent() == v.app;
                           });
    if (child_ran) continue;
    for (const std::string& name : v.command->required) {
      if (v.has_children && !configurable(name) && v.app->count("--" + name) == 0) {
        result.exit_status = usage_error(err, "--" + name + " is required", command_words(values));
        return result;
      }
    }
    std::string rest = leftover(v);
    if (rest.empty() && v.words.size() > v.command->max_words)
      rest = "unexpected argument \"" + v.words[v.command->max_words] + "\"";
    if (!rest.empty()) {
      result.exit_status = usage_error(err, rest, command_words(values));
      return result;
    }
    if (v.words.size() < v.command->min_words) {
      result.exit_status = usage_error(err, "missing argument: " + v.command->words, command_words(values));
      return result;
    }
    result.command = v.command;
    result.line = command_line(v);
  }
  return result;
}

const char* const* option_help(const std::string& name) {
  for (const auto& o : OPTIONS)
    if (name == o[0]) return o;
  return nullptr;
}

std::string command_option_help(const Agent_Command& command, const std::string& name) {
  for (const auto& o : COMMAND_OPTIONS)
    if (command.path.back() == o[0] && name == o[1]) return o[2];
  const char* const* help = option_help(name);
  if (help == nullptr) return std::string();
  std::string text = help[2];
  const std::size_t defaulted = text.find(" (default");
  if (listed(command.required, name) && defaulted != std::string::npos) text.erase(defaulted);
  return text;
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
