#ifndef OSCAR_ACTION_HANDLERS_H
#define OSCAR_ACTION_HANDLERS_H

#include "host/fileset/action_handler.h"
#include "oscar/oscar_backup_restore_types.h"

// Runs the export as the file-set writer's pre-action, so that the dump
// files exist when the writer reads the dump directory. The input is not
// owned and must outlive the handler. Called on the writer's thread.
class Backup_Action_Handler : public Action_Handler {
 public:
  explicit Backup_Action_Handler(const Backup_Input* input);

  // backup() on the input; false (logged) for a null input.
  bool pre_action() override;
  // Nothing to do after the set is stored: true.
  bool post_action() override;

 private:
  const Backup_Input* input_;
};

// Runs the import as the file-set reader's post-action, once the dump file
// is written back. The input is not owned and must outlive the handler.
// Called on the reader's thread.
class Restore_Action_Handler : public Action_Handler {
 public:
  explicit Restore_Action_Handler(const Restore_Input* input);

  // Nothing to do before the set is read: true.
  bool pre_action() override;
  // restore() on the input; false (logged) for a null input.
  bool post_action() override;

 private:
  const Restore_Input* input_;
};

namespace oscar {

// The export's handler, with a failed pre-action failing the writer's run.
// Empty, with errno ENOMEM, when it cannot be allocated.
Action_Handler_var make_action_handler(const Backup_Input* input);

// The import's handler, with a failed post-action failing the reader's run.
// Empty, with errno ENOMEM, when it cannot be allocated.
Action_Handler_var make_action_handler(const Restore_Input* input);

}  // namespace oscar

#endif
