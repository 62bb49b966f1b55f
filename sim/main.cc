// One program, installed under several names in a database home's bin/
// directory, plays the OSCAR server and its tools.

#include <signal.h>

#include <cstdio>
#include <string>

#include "roles.h"
#include "sim_util.h"

int main(int argc, char** argv) {
  // Writers to a closed pipe or socket get EPIPE and report it themselves.
  ::signal(SIGPIPE, SIG_IGN);
  std::string role = sim::base_name(argc > 0 ? argv[0] : "");
  if (role == "oscar") return sim::run_server(argc, argv);
  if (role == "isql") return sim::run_isql(argc, argv);
  if (role == "brcmd") return sim::run_brcmd(argc, argv);
  if (role == "osrexp") return sim::run_osrexp(argc, argv);
  if (role == "osrimp") return sim::run_osrimp(argc, argv);
  return sim::run_admin(argc, argv);
}
