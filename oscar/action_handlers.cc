#include "oscar/action_handlers.h"

#include <cerrno>
#include <new>

#include "oscar/arg_check.h"
#include "oscar/utils.h"

Backup_Action_Handler::Backup_Action_Handler(const Backup_Input* input) : input_(input) {}

bool Backup_Action_Handler::pre_action() {
  OSCAR_CHECK_PTR_ARG(input_, false);
  return backup(input_);
}

bool Backup_Action_Handler::post_action() { return true; }

Restore_Action_Handler::Restore_Action_Handler(const Restore_Input* input) : input_(input) {}

bool Restore_Action_Handler::pre_action() { return true; }

bool Restore_Action_Handler::post_action() {
  OSCAR_CHECK_PTR_ARG(input_, false);
  return restore(input_);
}

namespace oscar {

namespace {

// Places handler (which may be null) into a counted pointer; the handler's
// own failure is never ignored.
Action_Handler_var hold(Action_Handler* handler, bool pre) {
  Action_Handler_var held;
  if (handler == nullptr) {
    errno = ENOMEM;
    return held;
  }
  held.reset(handler);
  if (pre) {
    handler->ignore_pre_action_failure(false);
  } else {
    handler->ignore_post_action_failure(false);
  }
  return held;
}

}  // namespace

Action_Handler_var make_action_handler(const Backup_Input* input) {
  return hold(new (std::nothrow) Backup_Action_Handler(input), true);
}

Action_Handler_var make_action_handler(const Restore_Input* input) {
  return hold(new (std::nothrow) Restore_Action_Handler(input), false);
}

}  // namespace oscar
