#ifndef HOST_MTF_RESTORE_H
#define HOST_MTF_RESTORE_H

#include <nlohmann/json.hpp>
#include <string>

#include "host/base/job_log.h"
#include "host/fileset/action_handler.h"
#include "host/fileset/mtf.h"
#include "host/storage/client_io_base.h"

// The file-set reader: reads a set written by MTF_Backup back and writes
// the selected files to their recorded absolute paths (parents created,
// modes and times restored, symbolic links never followed out of place, no
// path with a ".." part accepted). restore() runs, in order: the
// pre-action, the catalogue file, the data file, the post-action. A damaged
// or truncated set fails the restore; files written before the damage was
// found stay. Runs on the caller's thread; not thread-safe.
class MTF_Restore {
 public:
  // handler may be null and must outlive the reader; log (may be empty) is
  // bound to the calling thread while restore() runs.
  MTF_Restore(MTF::Event_Handler* handler, const ACE_Log_Msg_Callback_var& log);

  void action_handler(const Action_Handler_var& handler) { action_handler_ = handler; }
  // The pool holding the set; with check_access the pool's storage must
  // exist already.
  void pool_uuid(const std::string& v, bool check_access) {
    pool_uuid_ = v;
    check_access_ = check_access;
  }
  // The restore job's own definition (for the log only).
  void definition_uuid(const std::string& v) { definition_uuid_ = v; }
  // Where the set lives: the backup's host and minor resource id (the
  // backup definition's id) and its sequence number.
  void backup_host_uuid(const std::string& v) { backup_host_uuid_ = v; }
  void backup_minor_resource_id(const std::string& v) { backup_minor_resource_id_ = v; }
  void seq(unsigned int v) { seq_ = v; }
  // Options for the storage client; the pool's settings are added to them,
  // and every stored format is read.
  Client_IO_Base::Options& extra_client_io_opts() { return options_; }

  // Restricts the restore. selection is null (everything) or an array of
  // objects {"dir": PATH}: a file is restored when its path is PATH or lies
  // below it ("/" selects everything, "" nothing). The reader keeps the
  // pointer; the value must stay alive and unchanged until restore()
  // returns. A selection that selects nothing in the set fails the restore.
  void restore_select(const nlohmann::json* selection) { selection_ = selection; }

  // The run; true when the selected files were written back and both
  // actions succeeded (or their failures are ignored). Failures are logged
  // once and error() says what failed.
  bool restore();

  // After restore(): bytes of the files written back, bytes of the set
  // read from storage (its data stream).
  unsigned long long size() const { return size_; }
  unsigned long long set_size() const { return set_size_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why);
  bool selected(const std::string& path) const;
  bool check_selection(std::string& err) const;

  MTF::Event_Handler* handler_;
  ACE_Log_Msg_Callback_var log_;
  Action_Handler_var action_handler_;
  std::string pool_uuid_, definition_uuid_, backup_host_uuid_, backup_minor_resource_id_;
  bool check_access_ = false;
  unsigned int seq_ = 0;
  Client_IO_Base::Options options_;
  const nlohmann::json* selection_ = nullptr;
  unsigned long long size_ = 0, set_size_ = 0;
  std::string error_;
};

#endif
