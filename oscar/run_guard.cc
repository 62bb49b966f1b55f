#include "oscar/run_guard.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <set>

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

std::vector<std::unique_ptr<Job_Lock>> start_exclusive_run(Job& job, const std::string& definition_id,
                                                           const std::string& definition_name,
                                                           const std::string& source_id, const std::string& set_owner) {
  std::vector<std::unique_ptr<Job_Lock>> locks;
  if (set_owner.empty() || set_owner == source_id) {
    std::unique_ptr<Job_Lock> lock = start_exclusive_run(job, definition_id, definition_name, source_id);
    if (lock) locks.push_back(std::move(lock));
    return locks;
  }
  if (!check_job_ids(definition_id, source_id)) return locks;
  for (const std::string& key : std::set<std::string>{source_id, set_owner}) {
    std::unique_ptr<Job_Lock> lock(new Job_Lock(key, definition_name, ACE_Time_Value(Job_Lock::DEFAULT_TIMEOUT_SECONDS),
                                                job.cancel_state().get()));
    if (!lock->locked()) {
      if (key == source_id)
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to lock job source %C: %C\n"), printable_name(key).c_str(),
                   lock->error().c_str()));
      else
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to lock %C, whose set the job reads: %C\n"),
                   printable_name(key).c_str(), lock->error().c_str()));
      locks.clear();
      return locks;
    }
    locks.push_back(std::move(lock));
  }
  return locks;
}

}  // namespace oscar
