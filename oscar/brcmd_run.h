#ifndef OSCAR_BRCMD_RUN_H
#define OSCAR_BRCMD_RUN_H

#include <string>

class Execute_Cmd_Line_Handler;
class Job;

namespace oscar {

// What a physical backup run and a physical restore run share: where
// brcmd's fifo and its logs go, how its worker thread is made, how the run
// waits for brcmd and reports a node choice.

// Directory templates (for Path_Conf) of the fifo and of brcmd's logs.
extern const char BRCMD_FIFO_DIR[];
extern const char BRCMD_LOG_DIR[];
// Flags of the worker thread that runs brcmd.
extern const long BRCMD_WORKER_FLAGS;

// Waits, bounded, for a brcmd that has ended its stream: up to 60 waits of
// a tenth of a second, each followed by a one-second pause (host sleep).
// Answers its exit status, or -1 when it is still running after the bound
// or cannot be waited for.
int wait_for_brcmd_exit(Execute_Cmd_Line_Handler& handler);

// Logs why this node does not run the job after a node choice that did not
// select it: `state` is the choice's state, `what` "backup" or "restore".
void log_node_not_selected(const std::string& state, const char* what);

}  // namespace oscar

#endif
