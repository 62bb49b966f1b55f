#ifndef AGENT_JOB_LOG_READING_H
#define AGENT_JOB_LOG_READING_H

#include <string>
#include <vector>

// What the agent reads back from a job's log to tell a person about the
// run: only the lines appended after byte `offset` (what this run wrote)
// count. A log line is "DATE TIME PRIORITY TEXT"; TEXT may begin with the
// source location of the line ("oscar/brcmd_stream.cc:60 "). A log that
// cannot be read answers as one without such lines. Any thread.

// The size of the file at `path`, 0 when it does not exist.
long long job_log_size(const std::string& path);

// The TEXTs of the lines of `priority` (ERROR, WARNING, INFO, ...) in order,
// each without its source location.
std::vector<std::string> job_log_texts(const std::string& path, long long offset, const std::string& priority);

// The last `count` lines, whole.
std::vector<std::string> job_log_tail(const std::string& path, long long offset, std::size_t count);

// The cause a failed run's headline names: the first ERROR line's text,
// the tool's own words when the line quotes a tool's error output ("isql:
// TEXT" after the command); empty when the run logged no error.
std::string first_error_cause(const std::string& path, long long offset);

#endif
