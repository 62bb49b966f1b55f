#ifndef HOST_JOB_DEFINITION_LOADER_H
#define HOST_JOB_DEFINITION_LOADER_H

#include <string>

#include "host/base/yajl_handler.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/object_creator.h"

// Reads a job definition from its JSON file. The file is one object:
//   "id", "uid", "name", "host_id", "agent", "rsrc_form"   texts
//   "type"      "backup" | "restore" | "standby" | "none"  (required)
//   "subtype"   "full" | "incremental" | "cumulative" | "export" |
//               "import" | "none"                         (default "none")
//   "schedule"  "ondemand" | "none"        (absent: the definition has none)
//   "target"    {"id": text, "device_id": text}
//   "precondition", "pre_action", "post_action"            texts (scripts)
//   "ignore_pre_action_failure", "ignore_post_action_failure",
//   "run_post_action_always", "periodic"                   booleans
//   "max_seconds_retry", "resumption_buffer_size"          non-negative integers
//   "max_rate_limits"  [{"max_bytes_per_second": non-negative integer}, ...]
//   "source", "options"  the job-source and job-options documents (objects)
// Any other key, or a value of the wrong type, rejects the file.
//
// "source" and "options" are parsed with parsers made by the given
// factories (the module's, obtained through its exported parser
// factories); each factory is needed only when its document is present.
// The loader does not own the factories.
//
// Answers true with `out` holding the new definition, or false with `out`
// untouched and *error (when given) describing the first problem found.
// Nothing is logged. Safe from any thread.
bool load_job_definition(const std::string& json_text, Object_Creator_T<YAJL_Handler>* source_parsers,
                         Object_Creator_T<YAJL_Handler>* options_parsers, Job_Definition_var& out, std::string* error);

// The same for a file (at most 16 MiB).
bool load_job_definition_file(const std::string& path, Object_Creator_T<YAJL_Handler>* source_parsers,
                              Object_Creator_T<YAJL_Handler>* options_parsers, Job_Definition_var& out,
                              std::string* error);

#endif
