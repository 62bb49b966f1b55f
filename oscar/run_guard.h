#ifndef OSCAR_RUN_GUARD_H
#define OSCAR_RUN_GUARD_H

#include <memory>
#include <string>

#include "host/jobs/job_mutex.h"

class Job;

namespace oscar {

// The start every executor's run shares: the ids the run turns into paths
// (the definition's and the job source's) are checked, then the source is
// locked against runs on it in this process and in other agents; the wait
// ends with the job's abort. Answers the held lock, released when the
// pointer goes, or null after one log line saying why (the caller then
// fails the job).
std::unique_ptr<Job_Lock> start_exclusive_run(Job& job, const std::string& definition_id,
                                              const std::string& definition_name, const std::string& source_id);

}  // namespace oscar

#endif
