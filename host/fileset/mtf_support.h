#ifndef HOST_MTF_SUPPORT_H
#define HOST_MTF_SUPPORT_H

#include <ace/Time_Value.h>

#include <string>

#include "host/base/job_log.h"
#include "host/fileset/action_handler.h"
#include "host/fileset/mtf.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

// Helpers shared by the file-set writer and reader; used on the thread that
// runs them.
namespace MTF {

// Binds a job's log callback to the calling thread for the life of the
// object and puts back the thread's earlier binding afterwards; an empty
// callback changes nothing.
class Log_Binding {
 public:
  explicit Log_Binding(const ACE_Log_Msg_Callback_var& callback);
  ~Log_Binding();
  Log_Binding(const Log_Binding&) = delete;
  Log_Binding& operator=(const Log_Binding&) = delete;

 private:
  bool active_ = false;
  ACE_Log_Msg_Callback_var previous_;
};

// Runs the pre-action (pre true) or post-action of handler, if any: the
// action, then its wait, terminating it when the wait does not answer E_OK.
// False, with err set, when the action failed and its failure is not
// ignored.
bool run_action(const Action_Handler_var& handler, bool pre, std::string& err);

// Looks the pool up, copies its settings into options and connects io to
// the set directory POOL_URL/HOST_UUID/MINOR_RESOURCE_ID. False with err.
bool connect_set_directory(Client_IO_Ex& io, Client_IO_Base::Options& options, const std::string& pool_uuid,
                           const char* device_uuid, bool check_access, const std::string& host_uuid,
                           const std::string& minor_resource_id, std::string& err);

// Turns work done into the handler's progress calls, one per change of the
// percentage, counted by bytes or by files as the handler's mode says.
class Progress {
 public:
  Progress(Event_Handler* handler, unsigned long long total_bytes, unsigned long long total_files);
  // Counts more work done.
  void advance(unsigned long long bytes, unsigned long long files);
  // Reports 100 percent (once).
  void finish();
  // Whether the handler asks to stop.
  bool canceling() const;

 private:
  void report(int percent);

  Event_Handler* handler_;
  unsigned long long total_bytes_, total_files_, bytes_ = 0, files_ = 0;
  int last_ = -1;
  ACE_Time_Value start_;
};

}  // namespace MTF

#endif
