#ifndef OSCAR_NAME_CHECK_H
#define OSCAR_NAME_CHECK_H

#include <cstddef>
#include <string>

class Job;

namespace oscar {

// The longest name accepted: a file name's limit on common file systems.
const std::size_t MAX_NAME_BYTES = 255;

// Whether `name` may become one component of a path, a command-line word or
// a quoted SQL name: not empty, at most MAX_NAME_BYTES bytes, no "/", no
// "..", no NUL, and not starting with "." or "-" (a hidden file, an option).
// On refusal `why` says which rule it broke; it is untouched otherwise.
// Thread-safe.
bool check_name(const std::string& name, std::string& why);

// The name as it may be shown in a log line: cut to MAX_NAME_BYTES bytes
// (with "..." after a cut), control characters shown as "?". Thread-safe.
std::string printable_name(const std::string& name);

// Checks one id a run turns into a path (check_name); on refusal logs one
// line at LM_ERROR naming `what`, the id (as printable_name shows it) and
// the rule, and answers false. Thread-safe.
bool check_id(const char* what, const std::string& id);

// Checks the ids a run turns into paths (the definition's `id` and the job
// source's `id`) before anything of the run starts. On refusal logs one line
// at LM_ERROR naming the id and the rule, and answers false; the caller then
// fails the job. The ids are printed only up to MAX_NAME_BYTES bytes, with
// control characters shown as "?". Thread-safe.
bool check_job_ids(const std::string& definition_id, const std::string& source_id);

}  // namespace oscar

#endif
