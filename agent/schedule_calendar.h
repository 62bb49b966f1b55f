#ifndef AGENT_SCHEDULE_CALENDAR_H
#define AGENT_SCHEDULE_CALENDAR_H

#include <string>

// Calendar expressions of scheduled runs, as systemd's OnCalendar= takes
// them. Main thread.

// Whether systemd accepts `calendar`: asks `systemd-analyze calendar`
// when the machine has it (true otherwise, the check being left to where
// the calendar is used). False with err holding systemd's reason.
bool check_calendar(const std::string& calendar, std::string& err);

// The five time fields of a cron line ("30 1 * * 1-6") that run at the
// times `calendar` names, for the forms cron can say as well: daily,
// weekly, hourly, "HH:MM", "DOW[..DOW][,DOW] HH:MM" and
// "[DOW ]*-*-* HH:MM[:SS]" (seconds 00 only; day names short or long, in
// any case). False with err for any other form.
bool cron_fields(const std::string& calendar, std::string& fields, std::string& err);

#endif
