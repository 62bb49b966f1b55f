#ifndef HOST_EXECUTE_SCRIPT_H
#define HOST_EXECUTE_SCRIPT_H

#include <ace/Time_Value.h>

#include <string>

#include "host/base/job_log.h"

// Runs a user script (a job's precondition, pre-action or post-action)
// through "/bin/sh -c TEXT" and waits for it. Answers true when the text is
// empty or the shell exits with status 0, false otherwise (non-zero exit,
// killed by a signal, could not be started, timed out).
//
// The script runs in a process group of its own with stdin from /dev/null
// and no descriptor of the caller but stdout/stderr, which both go to one
// pipe. When `log_callback` is given each output line reaches it as one
// LM_INFO record; without one the output is read and dropped. When
// `log_command` is true the script text itself is written to the log first
// (scripts may carry secrets, so callers that do not know the text keep it
// false).
//
// Bounded: the call waits for the script, but never longer than the
// script time limit; then the whole process group is killed with SIGKILL,
// reaped, and the script fails. Safe from any thread; scripts of different
// threads run in parallel.
bool execute_script(const std::string& text, bool log_command, const ACE_Log_Msg_Callback_var& log_callback);

// The longest a script may run (3600 seconds unless changed). Process-wide.
void set_script_time_limit(const ACE_Time_Value& limit);
ACE_Time_Value script_time_limit();

#endif
