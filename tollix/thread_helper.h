#ifndef TOLLIX_THREAD_HELPER_H
#define TOLLIX_THREAD_HELPER_H

#include <ace/Event.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>

#include <atomic>
#include <functional>

// One thread, started through the process-wide ACE_Thread_Manager.
//
// With THR_DETACHED in the flags the thread is fire-and-forget: spawn()
// returns once the thread has started, the helper keeps no id, and the
// helper may be destroyed at once (the thread has its own copy of the
// function). Without it the thread is joinable: the helper records its id,
// join() (and the destructor) waits for it, and running() tells whether the
// function is still executing.
//
// Not thread-safe: one owner thread calls spawn/join/exists.
class Thread_Helper {
 public:
  Thread_Helper(long flag, long priority);
  virtual ~Thread_Helper();
  Thread_Helper(const Thread_Helper&) = delete;
  Thread_Helper& operator=(const Thread_Helper&) = delete;

  // Runs (object->*fn)() on a new thread; its result is dropped. The object
  // must stay alive until the function returns. -1 when a thread of this
  // helper already exists or the spawn failed.
  template <typename R, typename T>
  int spawn(R (T::*fn)(), T* object) {
    if (exists()) return -1;
    function_ = [fn, object]() { (object->*fn)(); };
    return spawn();
  }

  // Runs `function` on a new thread; -1 as above.
  int spawn(const std::function<void()>& function);

  // Starts the thread with the function bound last; answers the thread
  // manager's result (-1 on failure). Returns after the new thread has
  // taken its copy of the function.
  int spawn();

  // Waits for a joinable thread to end; does nothing when there is none.
  // Answers 0, or the thread manager's -1.
  int join();

  // True while a joinable thread was spawned and not yet joined.
  bool exists() const;

  // True while a joinable thread's function is executing.
  bool running() const { return running_.load(); }

 protected:
  // Runs first on the new thread, before the function; empty here. Runs
  // while spawn() still waits, so the helper is alive.
  virtual void handle_starting();

 private:
  static ACE_THR_FUNC_RETURN ACE_Thread_Func(void* arg);

  ACE_thread_t tid_;
  std::function<void()> function_;
  std::atomic<bool> running_;
  ACE_Event* started_;
  long flag_;
  long priority_;
};

#endif
