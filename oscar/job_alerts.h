#ifndef OSCAR_JOB_ALERTS_H
#define OSCAR_JOB_ALERTS_H

#include "oscar/job_alert_codes.h"

class Job;

namespace oscar {

// Raises the job alert `code` for `job` with ALERT_SEVERITY, argument 0 and
// no detail. Answers false, so that a failing step can end with
// `return fail_with_alert(job, code);`. Safe from any thread.
bool fail_with_alert(Job& job, Job_Alert_Code code);

}  // namespace oscar

#endif
