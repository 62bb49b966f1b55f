#ifndef OSCAR_OSCAR_JOB_CREATOR_H
#define OSCAR_OSCAR_JOB_CREATOR_H

#include <cerrno>
#include <new>

#include "host/jobs/job.h"
#include "host/jobs/job_creator.h"
#include "host/jobs/job_definition.h"
#include "job/default_job_t.h"

namespace oscar {

// A new Default_Job_T<E> on `def`, owned by the returned pointer; empty
// with errno ENOMEM when it cannot be allocated. An exception from the
// job's constructor passes to the caller with nothing leaked.
template <typename E>
Job_var make_default_job(const Job_Definition_var& def) {
  Job* job = new (std::nothrow) Default_Job_T<E>(def);
  if (job == nullptr) errno = ENOMEM;
  return Job_var(job);
}

// The module's job factory. create chooses the job by the definition's
// type and subtype:
//   backup + export   -> logical export backup
//   backup + other    -> physical backup
//   restore + import  -> logical import restore
//   restore + other   -> physical restore
//   any other type    -> empty
// A kind whose executor this build of the module does not have yields an
// empty pointer too; errno is left as it was in both cases. Stateless;
// create may be called from any thread.
class Oscar_Job_Creator : public Job_Creator {
 public:
  Job_var create(Job_Definition_var def) override;
};

}  // namespace oscar

// The exported job factory: stores the creator's destroy function into
// *gobbler when gobbler is not null (that function deletes the creator
// without calling fini(); given null it does nothing) and returns a new
// creator. Allocation failure throws std::bad_alloc.
extern "C" __attribute__((visibility("default"))) Job_Creator* _make_Oscar_Job_Creator(
    Job_Creator_Exterminator* gobbler);

#endif
