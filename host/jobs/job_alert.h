#ifndef HOST_JOB_ALERT_H
#define HOST_JOB_ALERT_H

#include <nlohmann/json.hpp>

class Job;

// Raises an alert for `job`: the alert (severity, code, arg and the detail
// value) is kept with the job (Job::alerts) and appended as one JSON line
// {"time","definition_id","severity","code","arg","detail"} to the job's
// alert file, logs/<definition id>.alerts beside the job's log file (when
// the agent has a state directory). Answers 0, or -1 when the alert file
// could not be written (the alert is still kept with the job).
// Safe from any thread.
int write_job_alert(Job& job, int severity, int code, int arg, const nlohmann::json& detail);

// Path of the job's alert file (empty without a state directory).
std::string job_alert_file_path(const Job& job);

#endif
