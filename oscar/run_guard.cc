#include "oscar/run_guard.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include "host/jobs/job.h"
#include "oscar/name_check.h"

namespace oscar {

std::unique_ptr<Job_Lock> start_exclusive_run(Job& job, const std::string& definition_id,
                                              const std::string& definition_name, const std::string& source_id) {
  if (!check_job_ids(definition_id, source_id)) return nullptr;
  std::unique_ptr<Job_Lock> lock(new Job_Lock(
      source_id, definition_name, ACE_Time_Value(Job_Lock::DEFAULT_TIMEOUT_SECONDS), job.cancel_state().get()));
  if (lock->locked()) return lock;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to lock job source %C: %C\n"), printable_name(source_id).c_str(),
             lock->error().c_str()));
  return nullptr;
}

}  // namespace oscar
