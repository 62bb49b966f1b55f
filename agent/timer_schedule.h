#ifndef AGENT_TIMER_SCHEDULE_H
#define AGENT_TIMER_SCHEDULE_H

#include <ctime>
#include <string>

// When systemd next starts a scheduled backup of `instance`: the earliest
// next elapse of its timers oscar-agent-backup@INSTANCE:*.timer, as
// systemctl shows them. 0 when systemd does not run this machine
// (/run/systemd/system is missing), no such timer is loaded, or systemctl
// did not answer within a few seconds (it is then ended). Main thread.
std::time_t next_scheduled_backup(const std::string& instance);

// The earliest time in systemctl's "show --value --timestamp=unix" output
// (one "@SECONDS" a unit, blank lines between), 0 when none.
std::time_t earliest_unix_timestamp(const std::string& output);

#endif
