#ifndef AGENT_COMMANDS_H
#define AGENT_COMMANDS_H

#include "agent/arguments.h"

// The commands of oscar-agent. Each takes the whole split command line
// (its own words included), opens the state directory named by --state,
// does its work and answers the program's exit status: EXIT_OK, EXIT_FAILED
// (the work or the job failed) or EXIT_USAGE (the command line is wrong).
// Messages go to stdout, errors to stderr; no password is ever printed.
// Main thread only.
enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// instance add NAME --home HOME --user USER --password-file FILE
int instance_add_command(const Command_Line& line);
// pool add NAME --url file:///PATH
// pool add NAME --url s3://BUCKET/PREFIX --endpoint URL --key-file FILE [--region REGION]
int pool_add_command(const Command_Line& line);
// catalog [NAME] [--json]
int catalog_command(const Command_Line& line);
// backup NAME --type full|incr|diff --pool POOL [--compression M] [--level N]
int backup_command(const Command_Line& line);
// restore NAME [--point BACKUP_ID] [--no-verify]
int restore_command(const Command_Line& line);
// verify NAME [--point BACKUP_ID]
int verify_command(const Command_Line& line);
// export NAME --entries DB[/SCHEMA[/TABLE]]... --pool POOL [--compression M] [--level N]
int export_command(const Command_Line& line);
// import NAME --point BACKUP_ID [--database DB] [--as INSTANCE[/SCHEMA[/TABLE]]]
int import_command(const Command_Line& line);
// run DEFINITION.json
int run_command(const Command_Line& line);

// Prints "oscar-agent: TEXT" to stderr and answers `status`.
int fail(int status, const std::string& text);

#endif
