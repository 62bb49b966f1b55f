#ifndef AGENT_STATE_DIR_H
#define AGENT_STATE_DIR_H

#include <string>

// The agent's state directory, as one oscar-agent run uses it. Layout:
//   instances.json, accounts.json (0600)  the instance registry
//   pools.json (0600)                     the pool registry
//   catalog.db (0600)                     the backup catalogue
//   host.json, agent.json (0600)          the host's settings and identity
//   logs/                                 job logs and alert files, one of
//                                         each per run
//   locks/                                lock files of running jobs (Job_Lock)
//   root/                                 the throwaway root under which the
//                                         module's fixed paths (fifo and
//                                         tool-log directories) live
// Every function is meant for the agent's main thread, before any job runs.

// Whether open_state_dir may make a missing directory: only commands that
// register something do; the others (which only read, or need a
// registered instance or pool) refuse a directory that does not exist, so
// that a mistyped name is not taken for an empty state.
void allow_state_dir_creation(bool allow);

// Makes the directory (mode 0700) when missing and allowed, points the host's state
// directory and root prefix at it, and loads the instance registry and the
// host settings. `dir` may be relative; it is made absolute first. A
// directory (or its root/) that another user owns or may write is refused
// before anything is read or made in it. False with err (one line) on any
// failure.
bool open_state_dir(const std::string& dir, std::string& err);

// The agent's host uuid, made once and kept in agent.json; the same in every
// run on one state directory. Empty (err set) when it cannot be read or
// stored. open_state_dir must have succeeded.
std::string agent_host_id(std::string& err);

// A fresh random uuid in text form.
std::string new_uuid();

#endif
