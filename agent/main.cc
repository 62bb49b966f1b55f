#include <cstdio>

#include "agent/arguments.h"
#include "agent/commands.h"

namespace {

// Options every command that runs a job takes besides its own.
std::vector<std::string> job_options(std::vector<std::string> own) {
  for (const char* o : {"state", "module", "timeout", "stall-timeout"}) own.push_back(o);
  return own;
}

// The commands of oscar-agent, in the order the help lists them.
const std::vector<Command_Spec>& commands() {
  static const std::vector<Command_Spec> table = {
      {{"instance", "add"},
       "NAME",
       1,
       1,
       {"state", "home", "user", "password-file", "module"},
       {"state", "home", "user", "password-file"},
       {},
       {"no-check"},
       "register an instance and its account (the login is tested first)",
       instance_add_command},
      {{"pool", "add"},
       "NAME",
       1,
       1,
       {"state", "url", "endpoint", "region", "key-file"},
       {"state", "url"},
       {},
       {},
       "register a pool (a directory, or a bucket of an S3 service)",
       pool_add_command},
      {{"backup"},
       "NAME",
       1,
       1,
       job_options({"type", "pool", "compression", "level"}),
       {"state", "type", "pool"},
       {},
       {},
       "back an instance up into a pool",
       backup_command},
      {{"restore"},
       "NAME",
       1,
       1,
       job_options({"point"}),
       {"state"},
       {},
       {"no-verify"},
       "restore an instance to a backup (its chain is checked against the records first)",
       restore_command},
      {{"verify"},
       "NAME",
       1,
       1,
       {"state", "point"},
       {"state"},
       {},
       {},
       "check the stored sets of an instance (or of one chain) against their records",
       verify_command},
      {{"export"},
       "NAME",
       1,
       1,
       job_options({"entries", "pool", "compression", "level"}),
       {"state", "entries", "pool"},
       {"entries"},
       {},
       "export databases, schemas or tables of an instance into a pool",
       export_command},
      {{"import"},
       "NAME",
       1,
       1,
       job_options({"point", "database", "as"}),
       {"state", "point"},
       {},
       {},
       "import an export set into an instance",
       import_command},
      {{"catalog"},
       "[NAME]",
       0,
       1,
       {"state"},
       {"state"},
       {},
       {"json"},
       "list the catalogued backup and export sets (of one instance)",
       catalog_command},
      {{"run"},
       "DEFINITION",
       1,
       1,
       job_options({}),
       {"state"},
       {},
       {},
       "run a job definition file (JSON)",
       run_command},
  };
  return table;
}

}  // namespace

int main(int argc, char** argv) {
  const Parsed_Command parsed = parse_command_line(commands(), argc, argv, stdout, stderr);
  if (parsed.command == nullptr) return parsed.exit_status;
  return parsed.command->run(parsed.line);
}
