#ifndef AGENT_CONSOLE_LOG_H
#define AGENT_CONSOLE_LOG_H

// Routes the log lines of the module and the host for the rest of the
// process: a line logged on a thread that works for a job (one with the
// job's log callback bound) reaches the job's log file, and the console
// (stderr) only when `verbose`; a line of any other thread (the agent's
// own) reaches stderr as before. On a terminal each echoed line first clears
// the line it starts on, so that it replaces a progress line drawn there
// instead of running into it. Call once per process, from the main thread,
// before the module is loaded; later calls only change `verbose`.
void route_log_lines(bool verbose);

#endif
