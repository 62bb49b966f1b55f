#ifndef HOST_JOB_RUN_OPTIONS_H
#define HOST_JOB_RUN_OPTIONS_H

// Keys of the run options (Action_Options) that the agent hands to a job's
// start, and what a job does without them.

// Seconds a tool may stay alive without moving a byte through its fifo
// before the job fails and ends it: a positive whole number as text.
constexpr const char RUN_OPTION_STALL_TIMEOUT[] = "stall_timeout";
constexpr int DEFAULT_STALL_TIMEOUT_SECONDS = 600;

#endif
