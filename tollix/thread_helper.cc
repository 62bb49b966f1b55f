#include "tollix/thread_helper.h"

#include <ace/Event.h>

Thread_Helper::Thread_Helper(long flag, long priority)
    : tid_(ACE_OS::NULL_thread), running_(false), started_(nullptr), flag_(flag), priority_(priority) {}

Thread_Helper::~Thread_Helper() { join(); }

int Thread_Helper::spawn(const std::function<void()>& function) {
  if (exists()) return -1;
  function_ = function;
  return spawn();
}

int Thread_Helper::spawn() {
  ACE_Event started(0, 0);
  started_ = &started;
  int rc;
  if ((flag_ & THR_DETACHED) != 0) {
    ACE_thread_t tid = ACE_OS::NULL_thread;
    rc = ACE_Thread_Manager::instance()->spawn(ACE_Thread_Func, this, flag_, &tid, nullptr, priority_, -1, nullptr, 0);
  } else {
    running_ = true;
    rc = ACE_Thread_Manager::instance()->spawn(ACE_Thread_Func, this, flag_, &tid_, nullptr, priority_, -1, nullptr, 0);
    if (rc == -1) {
      running_ = false;
      tid_ = ACE_OS::NULL_thread;
    }
  }
  if (rc != -1) started.wait();
  started_ = nullptr;
  return rc;
}

int Thread_Helper::join() {
  if (!exists()) return 0;
  const int rc = ACE_Thread_Manager::instance()->join(tid_);
  tid_ = ACE_OS::NULL_thread;
  return rc;
}

bool Thread_Helper::exists() const { return !ACE_OS::thr_equal(tid_, ACE_OS::NULL_thread); }

void Thread_Helper::handle_starting() {}

ACE_THR_FUNC_RETURN Thread_Helper::ACE_Thread_Func(void* arg) {
  Thread_Helper* self = static_cast<Thread_Helper*>(arg);
  self->handle_starting();
  const bool detached = (self->flag_ & THR_DETACHED) != 0;
  const std::function<void()> function = self->function_;
  std::atomic<bool>* running = &self->running_;
  if (self->started_ != nullptr) self->started_->signal();
  // From here on a detached helper may already be gone: only the copies are used.
  if (function) function();
  if (!detached) running->store(false);
  return 0;
}
