#ifndef SIM_BRCMD_H
#define SIM_BRCMD_H

// The physical backup tool in pipe mode:
//   brcmd -O backup -d NAME -u USER -p PASSWORD -P PORT -t full|incr|diff -k pipe -f FIFO -e LOG
//   brcmd -O restore -d NAME -t backup_point_last -k pipe -f FIFO -e LOG
// Errors go to standard error as "brcmd: ERROR, <message>" and to the log
// file, with a non-zero exit status; the password is never written anywhere.

#include <cstdio>
#include <map>
#include <string>

#include "faults.h"
#include "home.h"
#include "state.h"

namespace sim {

struct Brcmd_Run {
  Home home;
  std::string instance;              // stored name
  std::map<char, std::string> opts;  // option letter to value
  Faults faults;
  std::FILE* log = nullptr;  // the -e log file, may be null

  // Writes one line to the log file (time-stamped).
  void note(const std::string& text);
  // Reports an error (stderr and log); returns the exit status 1.
  int fail(const std::string& text);
};

int brcmd_backup(Brcmd_Run& run, json& state);
int brcmd_restore(Brcmd_Run& run, json& state);

}  // namespace sim

#endif
