#include "host/jobs/job_event_manager.h"

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_time.h>

#include <cerrno>

Job_Event_Manager::Job_Event_Manager() : ready_(lock_) {}

Job_Event_Manager* Job_Event_Manager::instance() {
  static Job_Event_Manager* manager = new Job_Event_Manager();
  return manager;
}

int Job_Event_Manager::putq(Job_Event* event, ACE_Time_Value*) {
  std::unique_ptr<Job_Event> owned(event);
  if (!owned) {
    errno = EINVAL;
    return -1;
  }
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  if (queue_.size() >= CAPACITY) {
    errno = EWOULDBLOCK;
    return -1;
  }
  queue_.push_back(std::move(owned));
  ready_.signal();
  return static_cast<int>(queue_.size());
}

std::unique_ptr<Job_Event> Job_Event_Manager::getq(const ACE_Time_Value& timeout) {
  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + timeout;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, nullptr);
  while (queue_.empty()) {
    if (ready_.wait(&deadline) == -1) return nullptr;
  }
  std::unique_ptr<Job_Event> event = std::move(queue_.front());
  queue_.pop_front();
  return event;
}

std::vector<std::unique_ptr<Job_Event>> Job_Event_Manager::drain() {
  std::vector<std::unique_ptr<Job_Event>> events;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, events);
  for (std::unique_ptr<Job_Event>& e : queue_) events.push_back(std::move(e));
  queue_.clear();
  return events;
}

std::size_t Job_Event_Manager::size() {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, 0);
  return queue_.size();
}
