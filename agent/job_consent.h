#ifndef AGENT_JOB_CONSENT_H
#define AGENT_JOB_CONSENT_H

#include <string>

#include "agent/instance_access.h"
#include "agent/module.h"

// What the agent checks and asks before a job that changes an instance,
// and the lines it shows around such a job. Main thread; the module must be
// loaded and the state directory open.

// Whether the instance's server answers on its port.
bool instance_running(const Oscar_Module& module, const Registered_Instance& inst);

// The consent to a job that replaces what a person may still need: true at
// once when `flag` (the option that gives it, "--force") was given; on a
// terminal (standard input) `question` is asked ("... Type NAME to go on: ")
// and the answer must be the instance's name; the end of input or a stop
// signal while it waits refuses; without a terminal false. False with err
// in one line saying why and how to go on.
bool consent(const std::string& name, const std::string& question, const std::string& flag, bool given,
             std::string& err);

// The checks before a job that logs in: the home's programs are trusted
// (home_trusted), the server answers and
// the account logs in, each bounded by a few seconds (a tool that does not
// answer is ended). False with err naming the cause ("DB1: home /x refused:
// /x/bin/isql is writable by others (mode 0777)", "DB1: login as sysdba
// failed: password authentication failed for user "sysdba"").
bool preflight(const Oscar_Module& module, const Registered_Instance& inst, std::string& err);

// Stops the instance again with its start script (root_path of
// /etc/init.d/oscardb_NAMEd, "stop"), bounded; false with err when the
// script is missing or fails.
bool stop_instance_again(const Registered_Instance& inst, std::string& err);

#endif
