#ifndef OSCAR_INSTANCE_STOP_H
#define OSCAR_INSTANCE_STOP_H

#include <functional>
#include <string>

class Job;

namespace oscar {

// How the server process of an instance is asked to end.
struct Server_Stop {
  // Asks process `pid` to end; false when the request could not be made
  // (the request has then raised ALERT_INSTANCE_STOP and logged why).
  std::function<bool(int pid)> ask;
  // Checks, a second apart (host sleep), for the process to end after the
  // request.
  int checks;
  // Whether a process still there after the checks is killed (SIGKILL) and
  // checked for as many times again.
  bool kill_after_checks;
};

// Stops the database server of `instance` (home `oscar_home`). True when it
// is not running: no live process in its process-id file, or a process
// there that is not this instance's server (a stale file; nothing is
// signalled then); and true when the server ended after `how`. False, with
// ALERT_INSTANCE_STOP raised and the reason logged, when the request failed
// or the process did not end.
bool stop_instance_server(Job& job, const std::string& oscar_home, const std::string& instance, const Server_Stop& how);

// The request of a restore: SIGTERM, 10 checks, then SIGKILL and 10 checks.
Server_Stop stop_by_signals(Job& job);

}  // namespace oscar

#endif
