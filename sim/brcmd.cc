#include "brcmd.h"

#include <unistd.h>

#include <csignal>
#include <ctime>

#include "roles.h"
#include "sim_util.h"

namespace sim {

void Brcmd_Run::note(const std::string& text) {
  if (!log) return;
  char ts[32];
  std::time_t now = std::time(nullptr);
  std::strftime(ts, sizeof ts, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(log, "%s %s\n", ts, text.c_str());
  std::fflush(log);
}

int Brcmd_Run::fail(const std::string& text) {
  std::fprintf(stderr, "brcmd: ERROR, %s\n", text.c_str());
  note("ERROR, " + text);
  return 1;
}

int run_brcmd(int argc, char** argv) {
  Brcmd_Run run;
  run.home.root = home_of_program(argv[0]);
  for (int i = 1; i < argc; ++i) {
    std::string w = argv[i];
    if (w.size() != 2 || w[0] != '-' || i + 1 >= argc) return run.fail("unexpected argument \"" + w + "\"");
    run.opts[w[1]] = argv[++i];
  }
  if (run.home.root.empty()) return run.fail("cannot find the database home (SZ_OSCAR_HOME is not set)");
  std::string mode = run.opts['O'];
  if (mode != "backup" && mode != "restore") return run.fail("-O must be backup or restore");
  if (run.opts['k'] != "pipe") return run.fail("only -k pipe is supported");
  if (run.opts['f'].empty()) return run.fail("no fifo given (-f)");
  if (run.opts['e'].empty()) return run.fail("no log file given (-e)");
  run.log = std::fopen(run.opts['e'].c_str(), "ae");
  if (!run.log) return run.fail("cannot open log file " + run.opts['e']);
  run.note("brcmd " + mode + " of " + run.opts['d'] + " started");
  json state;
  std::string err;
  if (!load_state(run.home, state, err)) return run.fail(err);
  json* inst = find_instance(state, run.opts['d'], &run.instance);
  if (!inst) return run.fail("database \"" + run.opts['d'] + "\" does not exist");
  run.faults = Faults::for_tool("brcmd", inst);
  if (run.faults.has("no-open")) return run.fail("simulated failure before opening the fifo");
  if (run.faults.has("ignore-term")) std::signal(SIGTERM, SIG_IGN);
  // A tool slow to start: its fifo end opens late.
  if (run.faults.has("delay-open")) ::usleep(static_cast<useconds_t>(run.faults.number("delay-open", 1000) * 1000));
  int status = mode == "backup" ? brcmd_backup(run, state) : brcmd_restore(run, state);
  if (run.faults.has("never-exit")) {
    run.note("staying alive until killed");
    hang_until_killed();
  }
  std::fclose(run.log);
  return status;
}

}  // namespace sim
