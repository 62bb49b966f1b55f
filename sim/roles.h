#ifndef SIM_ROLES_H
#define SIM_ROLES_H

// The entry point of each role the simulator plays; main chooses one by the
// base name of argv[0]. Each returns the process exit status.

namespace sim {

int run_admin(int argc, char** argv);   // oscar-sim
int run_server(int argc, char** argv);  // oscar
int run_isql(int argc, char** argv);    // isql
int run_brcmd(int argc, char** argv);   // brcmd
int run_osrexp(int argc, char** argv);  // osrexp
int run_osrimp(int argc, char** argv);  // osrimp

}  // namespace sim

#endif
