#ifndef HOST_ACE_PROCESS_EX_H
#define HOST_ACE_PROCESS_EX_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Process.h>

#include <memory>
#include <string>

// A child process as the host runs it: ACE_Process plus what the host's
// process runner (Text_Process_Handler) needs to know about the run.
//
// flags: which of the child's output streams are read through pipes and
// handed to the runner's line operations. An output stream that is not
// captured is shared with the agent's own. The child's standard input is
// always /dev/null.
// name: a label for the host's own log lines about the child; null or empty
// takes the program name from the command line.
// log_msg_callback: the log that the child's output lines go to (a job's
// log); empty means the log of the thread that reads the output.
//
// The object only describes a run; the runner copies what it needs, so the
// object may be destroyed as soon as spawn has returned. Not thread-safe.
class ACE_Process_Ex : public ACE_Process {
 public:
  enum {
    CAPTURE_STDOUT = 2,
    CAPTURE_STDERR = 4,
  };

  ACE_Process_Ex(int flags, const char* name, std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback);

  int flags() const { return flags_; }
  const std::string& name() const { return name_; }
  const std::shared_ptr<ACE_Log_Msg_Callback>& log_msg_callback() const { return log_msg_callback_; }

 private:
  int flags_;
  std::string name_;
  std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback_;
};

#endif
