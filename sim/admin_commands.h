#ifndef SIM_ADMIN_COMMANDS_H
#define SIM_ADMIN_COMMANDS_H

// The commands of "oscar-sim". Each prints its own error text (prefixed
// "oscar-sim: ") on standard error and returns the exit status.

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

// Prints "oscar-sim: TEXT" on standard error; returns 1.
int admin_error(const std::string& text);

}  // namespace sim

#endif
