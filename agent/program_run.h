#ifndef AGENT_PROGRAM_RUN_H
#define AGENT_PROGRAM_RUN_H

#include <string>
#include <vector>

// Runs the system's own tools (systemd-analyze, systemctl) for commands
// that set the machine up, not for jobs. Main thread.

// The absolute path of `name` in a directory of $PATH (or of
// /usr/sbin:/usr/bin:/sbin:/bin when PATH is unset), empty when none holds
// an executable file of that name.
std::string find_program(const std::string& name);

// Runs argv[0] (an absolute path) with the arguments that follow, with
// standard input /dev/null, for at most `timeout_seconds` (then it is
// ended). `output` holds its standard output and error, line by line.
// Answers its exit status, 128 + N when signal N ended it, -1 when it
// could not be run or ran too long (err then says why). An empty argument
// or one holding a double quote or a line feed is refused (-1).
int run_tool(const std::vector<std::string>& argv, int timeout_seconds, std::string& output, std::string& err);

#endif
