#ifndef HOST_JOB_DEF_NAMES_H
#define HOST_JOB_DEF_NAMES_H

#include <string>

#include "host/jobs/job_types.h"

// Text names of the definition enumerations, as job-definition files and
// catalogue records spell them. Stateless; safe from any thread.

// The subtype's name: "none", "full", "incremental", "cumulative",
// "export" or "import". An unknown value gives `unknown` (empty when null).
std::string job_def_subtype_to_string(int subtype, const char* unknown);

// The subtype named `name`; false (and `out` unchanged) for an unknown name.
bool job_def_subtype_from_string(const std::string& name, Job_Definition_Subtype& out);

// The type's name: "none", "backup", "restore" or "standby"; an unknown
// value gives `unknown` (empty when null).
std::string job_def_type_to_string(int type, const char* unknown);

// The type named `name`; false (and `out` unchanged) for an unknown name.
bool job_def_type_from_string(const std::string& name, Job_Definition_Type& out);

#endif
