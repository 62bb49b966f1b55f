#ifndef OSCAR_PROCESS_OPTIONS_H
#define OSCAR_PROCESS_OPTIONS_H

#include <ace/Process.h>

#include <cstddef>
#include <memory>

#include "oscar/oscar_export.h"

// Fresh options for one database tool child: the agent's environment is
// inherited, a 16384-byte environment buffer for at most 512 variables and
// at most 128 arguments. The command-line buffer holds 1024 bytes, or more
// when `cmd_len` (the length of the command that will be set) needs it, so a
// long command is never cut. Null when memory is exhausted (errno ENOMEM).
std::unique_ptr<ACE_Process_Options> new_process_options(std::size_t cmd_len = 0);

// Prepares the child environment in opts: SZ_OSCAR_HOME, LC_ALL and LANG
// ("en_US.UTF8"), the home's bin directory added to LD_LIBRARY_PATH, and no
// inherited descriptors. False (logged) only for a null or empty oscar_home.
OSCAR_EXPORT bool set_process_opts(const char* oscar_home, ACE_Process_Options& opts);

// Sets cmd as the command line of opts (percent signs stay as they are),
// then prepares the environment as above. False (logged) for a null or
// empty cmd, or for a command that does not fit the options' buffer.
OSCAR_EXPORT bool set_process_opts(const char* oscar_home, const char* cmd, ACE_Process_Options& opts);

#endif
