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
// pool add NAME --url file:///PATH [--cipher aes-256-gcm --cipher-key-file FILE] [--zstd-workers N]
// pool add NAME --url s3://BUCKET/PREFIX --endpoint URL --key-file FILE [--region REGION] [same options]
int pool_add_command(const Command_Line& line);
// instance set NAME [--home HOME] [--user USER] [--password-file FILE] [--no-check]
int instance_set_command(const Command_Line& line);
// pool set NAME [--url URL] [--endpoint URL] [--region REGION] [--key-file FILE] [--cipher C --cipher-key-file FILE]
//   [--zstd-workers N]
int pool_set_command(const Command_Line& line);
// instance list [--json]
int instance_list_command(const Command_Line& line);
// instance remove NAME
int instance_remove_command(const Command_Line& line);
// pool clean NAME [--older-than DURATION] [--from-host ID|NAME] [--dry-run] [--json]
int pool_clean_command(const Command_Line& line);
// pool list [--json]
int pool_list_command(const Command_Line& line);
// pool remove NAME [--force] [--timeout SECONDS]
int pool_remove_command(const Command_Line& line);
// catalog remove BACKUP_ID... [--dry-run] [--json] [--timeout SECONDS]
int catalog_remove_command(const Command_Line& line);
// expire NAME|--instance-uuid UUID --keep-full N [--keep-export N] [--pool POOL] [--dry-run] [--json] [--timeout
// SECONDS]
int expire_command(const Command_Line& line);
// catalog [NAME] [--json]
int catalog_command(const Command_Line& line);
// status [NAME] [--json] [--bytes]: EXIT_FAILED when an instance's backups
// are old, failed or missing
int status_command(const Command_Line& line);
// catalog rebuild [--pool POOL] [--verify] [--from-host ID|NAME] [--json]
int catalog_rebuild_command(const Command_Line& line);
// backup NAME --type full|incr|diff --pool POOL [--compression M] [--level N]
int backup_command(const Command_Line& line);
// restore NAME [--point BACKUP_ID] [--no-verify]
int restore_command(const Command_Line& line);
// verify NAME [--point BACKUP_ID], or verify --pool POOL
int verify_command(const Command_Line& line);
// export NAME --entries DB[/SCHEMA[/TABLE]]... --pool POOL [--compression M] [--level N]
int export_command(const Command_Line& line);
// import NAME --point BACKUP_ID [--database DB] [--as INSTANCE[/SCHEMA[/TABLE]]]
int import_command(const Command_Line& line);
// run DEFINITION.json
int run_command(const Command_Line& line);
// discover [--json] [--register --user USER --password-file FILE NAME...]
int discover_command(const Command_Line& line);
// browse NAME [DATABASE [SCHEMA]] [--json]
int browse_command(const Command_Line& line);
// nodes NAME [--json]
int nodes_command(const Command_Line& line);
// check NAME [--pool POOL]... [--json]
int check_command(const Command_Line& line);
// coordinator --listen HOST:PORT --token-file FILE [--tls-cert FILE --tls-key FILE] [--state DIR] [--round SECONDS]
int coordinator_command(const Command_Line& line);

// schedule NAME [--full CAL] [--incr CAL] [--diff CAL] [--expire CAL] [--unit-dir DIR] [--remove] [--dry-run]
int schedule_command(const Command_Line& line);

// Prints "oscar-agent: TEXT" to stderr and answers `status`.
int fail(int status, const std::string& text);

#endif
