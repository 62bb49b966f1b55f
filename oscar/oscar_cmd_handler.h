#ifndef OSCAR_OSCAR_CMD_HANDLER_H
#define OSCAR_OSCAR_CMD_HANDLER_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Process.h>

#include <memory>
#include <string>

#include "host/process/text_process_handler.h"
#include "oscar/oscar_export.h"

// The command layer: every database tool (isql, osrexp, osrimp, brcmd, the
// instance start command) is run through these functions, with the
// database environment prepared from the home directory and the command line
// logged with its credentials masked. All texts are NUL-terminated UTF-8.
// The functions keep no state between calls and may run on any thread.

// Receives a child's output lines. With logging_stdout, standard output is
// logged at LM_INFO and standard error at LM_ERROR and no error text is
// taken. Otherwise, when error is not null, standard-error lines are logged
// after "Failed info: " and the message of the last "isql: ERROR, ..." line
// replaces *error as "Error, MESSAGE." (left untouched when no line
// matches). *error must outlive the run and is complete once call (or wait
// after spawn) has returned. A spawned child still running when the handler
// is destroyed is terminated.
class OSCAR_EXPORT Execute_Cmd_Line_Handler : public Text_Process_Handler {
 public:
  Execute_Cmd_Line_Handler(std::string* error, bool logging_stdout);
  ~Execute_Cmd_Line_Handler() override;

  int handle_stdout_line(const char* line, unsigned long len) override;
  int handle_stderr_line(const char* line, unsigned long len) override;

 private:
  bool logging_stdout_;
  std::string* error_;
};

// Runs cmd to completion and answers the host runner's result: 0 for a
// child that exited with status 0, -1 for null or empty texts (logged) or a
// child that could not be started, otherwise its exit status. is_brcmd
// selects the masking of the logged command ("-p VALUE" for brcmd, the
// password of "-UUSER/PASSWORD" otherwise). log_msg_callback (may be empty)
// is the log that the child's lines go to. error: see
// Execute_Cmd_Line_Handler.
OSCAR_EXPORT int execute_oscar_cmd(const char* oscar_home, const char* cmd, bool is_brcmd, bool logging_stdout,
                                   std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, std::string* error);

// Starts cmd (a brcmd command line, masked as such in the log) in the
// background through cmd_handler and returns at once: 0 when it started,
// else -1. The caller owns cmd_handler and later ends the child with its
// wait or terminate.
OSCAR_EXPORT int execute_oscar_brcmd_spawn(const char* oscar_home, const char* cmd,
                                           std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback,
                                           Execute_Cmd_Line_Handler& cmd_handler);

// The text of cmd as it may be logged: the password of the brcmd option
// "-p VALUE" (is_brcmd) or of "-UUSER/PASSWORD" (otherwise) replaced by ***.
// When `password` (may be null) is the value the caller put there, all of
// it is hidden whatever it holds (blanks too); the rest of its word is
// hidden in any case.
std::string mask_command(const char* cmd, bool is_brcmd, const char* password = nullptr);

namespace oscar {

// execute_oscar_cmd and execute_oscar_brcmd_spawn for a command into which
// the caller put `password` (may be null): the logged copy hides that value
// whole (mask_command).
int execute_tool_cmd(const char* oscar_home, const char* cmd, const char* password, bool is_brcmd, bool logging_stdout,
                     std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, std::string* error);
int spawn_brcmd(const char* oscar_home, const char* cmd, const char* password,
                std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, Execute_Cmd_Line_Handler& cmd_handler);

}  // namespace oscar

#endif
