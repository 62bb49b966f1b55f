#ifndef HOST_SUBPROCESS_H
#define HOST_SUBPROCESS_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Process.h>

#include <memory>

namespace subprocess {

// Runs the child prepared in options to completion. Its standard output is
// logged at LM_INFO and its standard error at LM_ERROR, line by line, into
// log_msg_callback (or the calling thread's log when it is empty). Returns
// as Text_Process_Handler::call: 0 when the child exited with status 0.
// options must stay alive for the call. Safe from any thread.
int call(ACE_Process_Options& options, std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback);

}  // namespace subprocess

#endif
