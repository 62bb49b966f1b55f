#ifndef OSCAR_RUN_GUARD_H
#define OSCAR_RUN_GUARD_H

#include <memory>
#include <string>
#include <vector>

#include "host/base/job_mutex.h"

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

// As above, for a run that reads a set belonging to the resource
// `set_owner` (the source's own id, or empty, for a set of the source):
// that resource is locked too, so that no expire or forced pool removal
// takes the set away while it is read. Both are locked in the order of
// their ids, so that two runs each reading a set of the other's resource
// cannot deadlock; each wait says once whom it waits for and ends with the
// job's abort. Answers the held locks, or none after one log line saying
// why.
std::vector<std::unique_ptr<Job_Lock>> start_exclusive_run(Job& job, const std::string& definition_id,
                                                           const std::string& definition_name,
                                                           const std::string& source_id, const std::string& set_owner);

}  // namespace oscar

#endif
