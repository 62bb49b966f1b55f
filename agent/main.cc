#include <cstdio>
#include <cstring>

#include "agent/arguments.h"
#include "agent/commands.h"

namespace {

const char USAGE[] =
    "usage: oscar-agent COMMAND ... --state DIR\n"
    "  instance add NAME --home HOME --user USER --password-file FILE [--no-check]\n"
    "  pool add NAME --url file:///PATH\n"
    "  backup NAME --type full|incr|diff --pool POOL [--compression none|zstd|lzop|auto] [--level N]\n"
    "  restore NAME [--point BACKUP_ID] [--no-verify]\n"
    "  verify NAME [--point BACKUP_ID]\n"
    "  export NAME --entries DB[/SCHEMA[/TABLE]] [--entries ...] --pool POOL [--compression M] [--level N]\n"
    "  import NAME --point BACKUP_ID [--database DB] [--as INSTANCE[/SCHEMA[/TABLE]]]\n"
    "  catalog [NAME] [--json]\n"
    "  run DEFINITION.json\n"
    "backup, restore, export, import and run also take --module PATH (default: $OSCAR_MODULE, else liboscar.so\n"
    "of this build tree), --timeout SECONDS (default 21600) and --stall-timeout SECONDS (default 600:\n"
    "the longest a tool may move no data before the job fails) and --verbose (the job's log lines on stderr\n"
    "as well as in its log file).\n"
    "restore reads every set of its chain and checks it against its recorded digest before the\n"
    "instance is stopped; --no-verify skips that. verify checks the stored sets of NAME (or the\n"
    "chain of BACKUP_ID) and exits 1 when one does not match its record.\n";

}  // namespace

int main(int argc, char** argv) {
  Command_Line line;
  std::string err;
  if (!split_command_line(argc - 1, argv + 1, line, err)) {
    std::fprintf(stderr, "oscar-agent: %s\n%s", err.c_str(), USAGE);
    return EXIT_USAGE;
  }
  if (line.flags.count("help") != 0) {
    std::fputs(USAGE, stdout);
    return EXIT_OK;
  }
  const std::string cmd = line.words.empty() ? std::string() : line.words[0];
  const std::string sub = line.words.size() > 1 ? line.words[1] : std::string();
  if (cmd == "instance" && sub == "add") return instance_add_command(line);
  if (cmd == "pool" && sub == "add") return pool_add_command(line);
  if (cmd == "catalog") return catalog_command(line);
  if (cmd == "backup") return backup_command(line);
  if (cmd == "restore") return restore_command(line);
  if (cmd == "verify") return verify_command(line);
  if (cmd == "export") return export_command(line);
  if (cmd == "import") return import_command(line);
  if (cmd == "run") return run_command(line);
  std::fprintf(
      stderr, "oscar-agent: %s\n%s",
      cmd.empty() ? "no command given" : ("unknown command \"" + cmd + (sub.empty() ? "" : " " + sub) + "\"").c_str(),
      USAGE);
  return EXIT_USAGE;
}
