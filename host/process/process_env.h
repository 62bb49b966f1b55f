#ifndef HOST_PROCESS_ENV_H
#define HOST_PROCESS_ENV_H

#include <ace/Process.h>

// Sets the child's variable `name` to the agent's own value of it followed
// by ":" and `value` (a search-path list such as LD_LIBRARY_PATH); when the
// agent has no value, or its list already holds `value`, the child gets
// just `value` or the agent's list unchanged. Other variables of options
// are left as they are. Answers 0, or -1 (EINVAL) for a null or empty
// name or value, or when the options' environment buffer is full.
int append_process_options_env(ACE_Process_Options& options, const char* name, const char* value);

#endif
