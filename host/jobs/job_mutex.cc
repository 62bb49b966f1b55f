#include "host/jobs/job_mutex.h"

#include <ace/Guard_T.h>

#include <map>
#include <memory>

ACE_Thread_Mutex& Job_Mutex::get(const std::string& key) {
  static ACE_Thread_Mutex* table_lock = new ACE_Thread_Mutex();
  static auto* table = new std::map<std::string, std::unique_ptr<ACE_Thread_Mutex>>();
  ACE_Guard<ACE_Thread_Mutex> guard(*table_lock);
  std::unique_ptr<ACE_Thread_Mutex>& slot = (*table)[key];
  if (!slot) slot.reset(new ACE_Thread_Mutex());
  return *slot;
}
