#ifndef TESTS_SUPPORT_MODULE_THREADS_H
#define TESTS_SUPPORT_MODULE_THREADS_H

#include <ace/OS_NS_sys_time.h>
#include <ace/Thread_Manager.h>

// Waits (at most 30 s) until every thread the module and the host started
// through ACE has ended, as a host does before it unloads the module or
// exits: a job's detached run thread still unwinds after the job reports
// completion, and a process that exits meanwhile destroys what it uses.
// Answers whether they all ended.
inline bool wait_for_module_threads() {
  ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(30);
  return ACE_Thread_Manager::instance()->wait(&deadline) == 0;
}

#endif
