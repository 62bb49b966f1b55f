#ifndef OSCAR_PROCESS_OPTIONS_H
#define OSCAR_PROCESS_OPTIONS_H

#include <ace/Process.h>

#include <cstddef>
#include <memory>

// Fresh options for one database tool child: the agent's environment is
// inherited, a 16384-byte environment buffer for at most 512 variables and
// at most 128 arguments. The command-line buffer holds 1024 bytes, or more
// when `cmd_len` (the length of the command that will be set) needs it, so a
// long command is never cut. Null when memory is exhausted (errno ENOMEM).
std::unique_ptr<ACE_Process_Options> new_process_options(std::size_t cmd_len = 0);

#endif
