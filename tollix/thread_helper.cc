#include "tollix/thread_helper.h"

#include <ace/Event.h>

Thread_Helper::Thread_Helper(long flag, long priority)
    : _tid(ACE_OS::NULL_thread), _running(false), _started(nullptr), _flag(flag), _priority(priority) {}

Thread_Helper::~Thread_Helper() { join(); }

int Thread_Helper::spawn(const std::function<void()>& function) {
  if (exists()) return -1;
  _function = function;
  return spawn();
}

int Thread_Helper::spawn() {
  ACE_Event started(0, 0);
  _started = &started;
  int rc;
  if ((_flag & THR_DETACHED) != 0) {
    ACE_thread_t tid = ACE_OS::NULL_thread;
    rc = ACE_Thread_Manager::instance()->spawn(ACE_Thread_Func, this, _flag, &tid, nullptr, _priority, -1, nullptr, 0);
  } else {
    _running = true;
    rc = ACE_Thread_Manager::instance()->spawn(ACE_Thread_Func, this, _flag, &_tid, nullptr, _priority, -1, nullptr, 0);
    if (rc == -1) {
      _running = false;
      _tid = ACE_OS::NULL_thread;
    }
  }
  if (rc != -1) started.wait();
  _started = nullptr;
  return rc;
}

int Thread_Helper::join() {
  if (!exists()) return 0;
  const int rc = ACE_Thread_Manager::instance()->join(_tid);
  _tid = ACE_OS::NULL_thread;
  return rc;
}

bool Thread_Helper::exists() const { return !ACE_OS::thr_equal(_tid, ACE_OS::NULL_thread); }

void Thread_Helper::handle_starting() {}

ACE_THR_FUNC_RETURN Thread_Helper::ACE_Thread_Func(void* arg) {
  Thread_Helper* self = static_cast<Thread_Helper*>(arg);
  self->handle_starting();
  const bool detached = (self->_flag & THR_DETACHED) != 0;
  const std::function<void()> function = self->_function;
  std::atomic<bool>* running = &self->_running;
  if (self->_started != nullptr) self->_started->signal();
  // From here on a detached helper may already be gone: only the copies are used.
  if (function) function();
  if (!detached) running->store(false);
  return 0;
}
