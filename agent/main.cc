#include <algorithm>
#include <cstdio>
#include <limits>

#include "agent/agent_config.h"
#include "agent/arguments.h"
#include "agent/command_defaults.h"
#include "agent/commands.h"
#include "agent/state_dir.h"
#include "agent/version.h"

namespace {

// Options every command that runs a job takes besides its own.
std::vector<std::string> job_options(std::vector<std::string> own) {
  for (const char* o : {"state", "module", "timeout", "stall-timeout"}) own.push_back(o);
  return own;
}

int scheduled_backup(const Command_Line& line);

// The commands of oscar-agent, in the order the help lists them.
const std::vector<Agent_Command>& commands() {
  static const std::vector<Agent_Command> table = {
      {{"instance", "add"},
       "NAME",
       1,
       1,
       {"state", "home", "user", "password-file", "module", "coordinator", "coordinator-token-file"},
       {"home", "user", "password-file"},
       {},
       {"no-check"},
       "register an instance and its account (the login is tested first)",
       instance_add_command,
       "the name to register the instance under (the database instance's own name)"},
      {{"instance", "set"},
       "NAME",
       1,
       1,
       {"state", "home", "user", "password-file", "module", "coordinator", "coordinator-token-file"},
       {},
       {},
       {"no-check"},
       "change an instance's home or account (the login is tested first)",
       instance_set_command,
       "a registered instance"},
      {{"instance", "list"},
       "",
       0,
       0,
       {"state"},
       {},
       {},
       {"json"},
       "list the registered instances",
       instance_list_command},
      {{"instance", "remove"},
       "NAME",
       1,
       1,
       {"state"},
       {},
       {},
       {},
       "remove an instance and its account (its catalogued sets stay)",
       instance_remove_command,
       "a registered instance"},
      {{"pool", "add"},
       "NAME",
       1,
       1,
       {"state", "url", "endpoint", "region", "key-file", "cipher", "cipher-key-file", "zstd-workers"},
       {"url"},
       {},
       {},
       "register a pool (a directory, or a bucket of an S3 service)",
       pool_add_command,
       "the name to register the pool under"},
      {{"pool", "set"},
       "NAME",
       1,
       1,
       {"state", "url", "endpoint", "region", "key-file", "cipher", "cipher-key-file", "zstd-workers"},
       {},
       {},
       {},
       "change a pool's settings (its url and cipher only while it holds no catalogued sets)",
       pool_set_command,
       "a registered pool"},
      {{"pool", "list"},
       "",
       0,
       0,
       {"state"},
       {},
       {},
       {"json"},
       "list the pools with the number and size of their sets",
       pool_list_command},
      {{"pool", "remove"},
       "NAME",
       1,
       1,
       {"state", "timeout"},
       {},
       {},
       {"force"},
       "remove a pool (refused while sets live in it, unless --force removes them too)",
       pool_remove_command,
       "a registered pool"},
      {{"pool", "clean"},
       "NAME",
       1,
       1,
       {"state", "older-than", "from-host"},
       {},
       {},
       {"dry-run", "json"},
       "remove what no manifest describes from this host's part of a pool (older than the grace time)",
       pool_clean_command,
       "a registered pool"},
      {{"backup"},
       "NAME",
       1,
       1,
       job_options({"type", "pool", "compression", "level"}),
       {"type", "pool"},
       {},
       {"verbose", "json"},
       "back an instance up into a pool",
       backup_command,
       "a registered instance"},
      {{"restore"},
       "NAME",
       1,
       1,
       job_options({"point"}),
       {},
       {},
       {"no-verify", "force", "verbose", "json"},
       "restore an instance to a backup (its chain is checked against the records first; a running instance is "
       "stopped only after a yes on a terminal, or with --force)",
       restore_command,
       "a registered instance"},
      {{"verify"},
       "[NAME]",
       0,
       1,
       {"state", "point", "pool"},
       {},
       {},
       {"json"},
       "check the stored sets of an instance (or of one chain), or every set of this host in a pool (--pool)",
       verify_command,
       "a registered instance (leave it out with --pool)"},
      {{"export"},
       "NAME",
       1,
       1,
       job_options({"entries", "pool", "compression", "level"}),
       {"entries", "pool"},
       {"entries"},
       {"verbose", "json"},
       "export databases, schemas or tables of an instance into a pool",
       export_command,
       "a registered instance"},
      {{"import"},
       "NAME",
       1,
       1,
       job_options({"point", "database", "as"}),
       {"point"},
       {},
       {"replace", "verbose", "json"},
       "import an export set into an instance (existing tables and schemas are replaced only after a yes on a "
       "terminal, or with --replace)",
       import_command,
       "the registered instance the export set was taken from"},
      {{"catalog"},
       "[NAME]",
       0,
       1,
       {"state"},
       {},
       {},
       {"json", "all", "bytes"},
       "list the catalogued backup and export sets (of one instance; --all also those of removed instances)",
       catalog_command,
       "a registered instance, or with --all the uuid of a removed one (default: every instance)"},
      {{"status"},
       "[NAME]",
       0,
       1,
       {"state"},
       {},
       {},
       {"json", "bytes"},
       "show whether the backups of each instance are recent and succeeded, one line per instance (exit status 1 "
       "when any is old, failed or has none)",
       status_command,
       "a registered instance (default: every one)"},
      {{"catalog", "rebuild"},
       "",
       0,
       0,
       {"state", "pool", "from-host"},
       {},
       {},
       {"verify", "json"},
       "add to the catalogue the sets that the manifests of the pools describe",
       catalog_rebuild_command},
      {{"catalog", "remove"},
       "BACKUP_ID...",
       1,
       std::numeric_limits<std::size_t>::max(),
       {"state", "timeout"},
       {},
       {},
       {"dry-run", "json"},
       "remove catalogued sets by id with their stored files (those other sets rest on are kept)",
       catalog_remove_command,
       "the backup ids of the sets to remove (catalog lists them)"},
      {{"expire"},
       "[NAME]",
       0,
       1,
       {"state", "keep-full", "keep-export", "pool", "timeout", "instance-uuid"},
       {"keep-full"},
       {},
       {"dry-run", "json"},
       "remove the sets of whole chains older than the N newest full backups (of NAME, or --instance-uuid UUID)",
       expire_command,
       "a registered instance (or --instance-uuid for a removed one)"},
      {{"discover"},
       "[NAME...]",
       0,
       std::numeric_limits<std::size_t>::max(),
       {"state", "module", "user", "password-file", "coordinator", "coordinator-token-file"},
       {},
       {},
       {"json", "register"},
       "list the instances running on this machine (--register NAME... registers them)",
       discover_command,
       "with --register, an instance to register (default: list them all)"},
      {{"browse"},
       "NAME [DATABASE [SCHEMA]]",
       1,
       3,
       {"state", "module"},
       {},
       {},
       {"json"},
       "show an instance's database, its schemas, or a schema's tables",
       browse_command,
       "NAME: a registered instance; DATABASE: show its schemas; SCHEMA: show its tables"},
      {{"nodes"},
       "NAME",
       1,
       1,
       {"state", "module"},
       {},
       {},
       {"json"},
       "show an instance's cluster nodes, this machine and the master",
       nodes_command,
       "a registered instance"},
      {{"check"},
       "NAME",
       1,
       1,
       {"state", "module", "pool"},
       {},
       {"pool"},
       {"json", "deep"},
       "check that an instance is set up for backups and its catalogued sets are in their pools, one line per "
       "check",
       check_command,
       "a registered instance"},
      {{"schedule"},
       "NAME",
       1,
       1,
       {"state", "full", "incr", "diff", "expire", "unit-dir"},
       {},
       {},
       {"remove", "dry-run"},
       "run an instance's backups and expiry on calendars (systemd timers, else cron lines); the calendars come "
       "from the options, else from the instance's schedule in the configuration",
       schedule_command,
       "a registered instance"},
      {{"scheduled", "backup"},
       "NAME:LEVEL",
       1,
       1,
       {"state"},
       {},
       {},
       {"verbose", "json"},
       "the backup a timer of schedule starts: NAME at LEVEL, with the pool and settings of the configuration",
       scheduled_backup,
       "an instance and a backup level as the timer's unit name carries them (DB1:incr)"},
      {{"run"},
       "DEFINITION",
       1,
       1,
       job_options({}),
       {},
       {},
       {"verbose"},
       "run a job definition file (JSON)",
       run_command,
       "a file holding a job definition (JSON)"},
      {{"coordinator"},
       "",
       0,
       0,
       {"listen", "token-file", "tls-cert", "tls-key", "state", "round"},
       {"listen", "token-file"},
       {},
       {},
       "serve the choice of the node that runs each job of a cluster, until SIGTERM",
       coordinator_command},
  };
  return table;
}

// The backup NAME:LEVEL names, completed from the configuration as
// "backup NAME --type LEVEL" would be. The timers' units carry the two in
// one instance name and systemd has no specifier that splits it, so the
// agent does.
int scheduled_backup(const Command_Line& line) {
  const std::string& word = line.words[2];
  const std::size_t colon = word.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == word.size())
    return fail(EXIT_USAGE, "scheduled backup: \"" + word + "\" is not NAME:LEVEL (DB1:incr)");
  Command_Line backup = line;
  backup.words = {"backup", word.substr(0, colon)};
  backup.options["type"] = word.substr(colon + 1);
  const auto command = std::find_if(commands().begin(), commands().end(), [](const Agent_Command& c) {
    return c.path == std::vector<std::string>{"backup"};
  });
  std::string err;
  if (!complete_command_line(*command, agent_config(), backup, err))
    return fail(EXIT_USAGE, "scheduled backup: " + err);
  return backup_command(backup);
}

}  // namespace

int main(int argc, char** argv) {
  const Parsed_Command parsed = parse_command_line(commands(), argc, argv, stdout, stderr, version_text);
  if (parsed.command == nullptr) return parsed.exit_status;
  Command_Line line = parsed.line;
  Agent_Config config;
  std::string err;
  if (!load_agent_config(option_value(line, "config"), config, err)) {
    std::fprintf(stderr, "oscar-agent: %s\n", err.c_str());
    return EXIT_USAGE;
  }
  set_agent_config(config);
  if (!complete_command_line(*parsed.command, config, line, err)) {
    std::string name;
    for (const std::string& w : parsed.command->path) name += w + " ";
    std::fprintf(stderr, "oscar-agent: %s (see oscar-agent %s--help)\n", err.c_str(), name.c_str());
    return EXIT_USAGE;
  }
  allow_state_dir_creation(command_makes_state(*parsed.command, line));
  return parsed.command->run(line);
}
