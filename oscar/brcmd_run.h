#ifndef OSCAR_BRCMD_RUN_H
#define OSCAR_BRCMD_RUN_H

#include <ctime>
#include <string>

#include "host/services/path_conf.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/oscar_cmd_handler.h"
#include "tollix/secure_allocator.h"

class Job;

namespace oscar {

// What a physical backup run and a physical restore run share: where
// brcmd's fifo and its logs go, how brcmd is started and ended, how the run
// finds its instance, connects to storage, waits for brcmd and reports a
// node choice.

// Directory templates (for Path_Conf) of the fifo and of brcmd's logs.
extern const char BRCMD_FIFO_DIR[];
extern const char BRCMD_LOG_DIR[];
// Flags of the worker thread that runs brcmd.
extern const long BRCMD_WORKER_FLAGS;

// The start of both runs, once the instance name is known: the instance
// manager, the instance's account (ALERT_NO_ACCOUNT), its registration
// (ALERT_NO_INSTANCE when `alert_unregistered`, else no alert) and its
// database home (ALERT_NO_HOME). Each failure is logged once. `uid` is the
// definition's user id.
bool load_instance(Job& job, const std::string& instance, const std::string& uid, bool alert_unregistered,
                   std::string& username, secure_string& password, std::string& oscar_home);

// The fifo of one run, named after the run's start (make_fifo_name) in
// BRCMD_FIFO_DIR; removed when its owner ends, once created.
class Brcmd_Fifo {
 public:
  explicit Brcmd_Fifo(std::time_t start_time);
  ~Brcmd_Fifo();
  Brcmd_Fifo(const Brcmd_Fifo&) = delete;
  Brcmd_Fifo& operator=(const Brcmd_Fifo&) = delete;

  // Creates the fifo, mode 0640, in its directory (made with mode 0700);
  // false with ALERT_FIFO when it cannot, or when the directory belongs to
  // another user or others can write it.
  bool create(Job& job);
  const std::string& path() const { return conf_.str(); }

 private:
  Path_Conf conf_;
  bool created_ = false;
};

// One brcmd run of a job: started from a worker thread of the job (its log
// lines go to the job's log), ended (terminate, 600) when its owner ends
// once it has started.
class Brcmd_Process {
 public:
  // logging_stdout: brcmd's standard output is logged; note_end: "Process
  // brcmd terminate." is logged when the run is ended by its owner.
  Brcmd_Process(Job& job, bool logging_stdout, bool note_end);
  ~Brcmd_Process();
  Brcmd_Process(const Brcmd_Process&) = delete;
  Brcmd_Process& operator=(const Brcmd_Process&) = delete;

  // Starts brcmd with cmd from oscar_home on the worker thread and joins it
  // once it has started brcmd, waiting at most `pause_seconds` (host sleep;
  // 0 for none) before the join. `password` (may be null)
  // is the one cmd holds, hidden whole in the log. Nothing is logged when
  // brcmd does not start; answers whether it started.
  bool start(const std::string& oscar_home, const char* cmd, int pause_seconds, const char* password = nullptr);
  // Whether brcmd still runs and the job was not cancelled, for the fifo
  // opening: a cancel ends the wait for brcmd to open its end.
  Peer_Alive alive();
  // Ends brcmd now (terminate, 600).
  void terminate() { handler_.terminate(600); }
  // wait_for_brcmd_exit on this run.
  int wait_exit();

 private:
  Job& job_;
  Execute_Cmd_Line_Handler handler_;
  bool note_end_;
  bool started_ = false;
};

// Connects io to `target_uri`; false with ALERT_STORAGE_CONNECT (and the
// client's error logged) when it cannot.
bool connect_storage(Job& job, Client_IO_Ex& io, const std::string& target_uri, const Client_IO_Base::Options& opts);

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
