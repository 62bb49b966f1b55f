#ifndef SIM_ADMIN_COMMANDS_H
#define SIM_ADMIN_COMMANDS_H

// The commands of "oscar-sim". Each prints its own error text (prefixed
// "oscar-sim: ") on standard error and returns the exit status.

#include <nlohmann/json.hpp>
#include <string>

#include "admin_args.h"

namespace sim {

int admin_init(const Admin_Args& args);
int admin_start(const Admin_Args& args);
int admin_stop(const Admin_Args& args);
int admin_touch(const Admin_Args& args);
int admin_checksum(const Admin_Args& args);
int admin_set(const Admin_Args& args);
int admin_create_table(const Admin_Args& args);
int admin_change_table(const Admin_Args& args);
int admin_table_checksum(const Admin_Args& args);
int admin_drop(const Admin_Args& args);
int admin_drop_tablespace(const Admin_Args& args);
// Makes another node of the instance's cluster its master: the one of
// --to NODE_ID, else the first slave; the master becomes a slave.
int admin_switch_over(const Admin_Args& args);
// The cluster nodes of an instance with virtual address `vip`: with
// `nodes` ("ADDR,ADDR[,...]") node 1 at the first address is the master and
// the others slaves; without, node 1 (127.0.0.1) the master and node 2 at
// the virtual address the slave. False with err for an address that is
// not dotted IPv4.
bool cluster_nodes_of(const std::string& vip, const std::string& nodes, nlohmann::json& out, std::string& err);

// Prints "oscar-sim: TEXT" on standard error; returns 1.
int admin_error(const std::string& text);

}  // namespace sim

#endif
