#ifndef HOST_ACTION_HANDLER_H
#define HOST_ACTION_HANDLER_H

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Refcounted_Auto_Ptr.h>

// Work that the file-set writer and reader run around their own: the
// pre-action before the writer reads its sources (or before the reader
// restores), the post-action after the writer stored the set (or after
// the reader wrote the files back). The writer and reader call the
// operations on their own thread, pre_action then wait_pre_action (and
// terminate_pre_action when the wait did not answer E_OK), likewise for
// the post-action. A failed action fails the run unless its failure is
// set to be ignored. The snapshot operations are for writers that take a
// file-system snapshot; the file-set writer here takes none.
class Action_Handler {
 public:
  enum Error_Code { E_FAILED = -1, E_OK = 0, E_TIMEOUT = 1 };

  virtual ~Action_Handler() {}
  // Each action answers whether it succeeded; the defaults do nothing and
  // succeed. The waits answer E_OK at once and the terminates do nothing:
  // the defaults run their actions to the end before returning.
  virtual bool pre_action() { return true; }
  virtual Error_Code wait_pre_action() { return E_OK; }
  virtual void terminate_pre_action() {}
  virtual bool post_action() { return true; }
  virtual Error_Code wait_post_action() { return E_OK; }
  virtual void terminate_post_action() {}
  virtual bool pre_snapshot_action() { return true; }
  virtual Error_Code wait_pre_snapshot_action() { return E_OK; }
  virtual void terminate_pre_snapshot_action() {}
  virtual bool post_snapshot_action() { return true; }
  virtual Error_Code wait_post_snapshot_action() { return E_OK; }
  virtual void terminate_post_snapshot_action() {}

  // Whether a failed pre- or post-action lets the run go on (default:
  // yes, as the agent treats user scripts).
  void ignore_pre_action_failure(bool v) { ignore_pre_action_failure_ = v; }
  void ignore_post_action_failure(bool v) { ignore_post_action_failure_ = v; }
  bool ignore_pre_action_failure() const { return ignore_pre_action_failure_; }
  bool ignore_post_action_failure() const { return ignore_post_action_failure_; }

 private:
  bool ignore_pre_action_failure_ = true;
  bool ignore_post_action_failure_ = true;
};

typedef ACE_Refcounted_Auto_Ptr<Action_Handler, ACE_Recursive_Thread_Mutex> Action_Handler_var;

#endif
