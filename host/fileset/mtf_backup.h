#ifndef HOST_MTF_BACKUP_H
#define HOST_MTF_BACKUP_H

#include <string>
#include <vector>

#include "host/base/job_log.h"
#include "host/fileset/action_handler.h"
#include "host/fileset/mtf.h"
#include "host/storage/client_io_base.h"

// The file-set writer: stores every file under its source directories as
// one backup set (see mtf.h for the files it writes). backup() runs, in
// order: the action handler's pre-action, the scan of the sources, the
// data file (regular files, directories and symbolic links with their
// modes and times, under their absolute paths), the catalogue file, the
// post-action. Both files are published only when complete; a failure
// leaves neither. An existing set is never replaced: when the given
// sequence number is taken the next free one is used, and the metadata's
// "seq" says which. Runs on the caller's thread, which receives the
// handler's calls; not thread-safe.
class MTF_Backup {
 public:
  // handler may be null; it and metadata must outlive the writer. log (may
  // be empty) is bound to the calling thread while backup() runs.
  MTF_Backup(MTF::Event_Handler* handler, MTF::Metadata& metadata, const ACE_Log_Msg_Callback_var& log);

  void action_handler(const Action_Handler_var& handler) { action_handler_ = handler; }
  void pool_uuid(const std::string& v) { pool_uuid_ = v; }
  void device_uuid(const std::string& v) { device_uuid_ = v; }
  void host_uuid(const std::string& v) { host_uuid_ = v; }
  // Names the set directory and the set files (the definition's id).
  void minor_resource_id(const std::string& v) { minor_resource_id_ = v; }
  void uuid(const std::string& v) { uuid_ = v; }
  void seq(unsigned int v) { seq_ = v; }
  void compression(MTF::Compression v) { compression_ = v; }
  void compression_level(int v) { compression_level_ = v; }
  // Only whole sets are written: asking for an incremental one fails the
  // backup rather than storing something else than asked.
  void incremental(bool v) { incremental_ = v; }
  // Options for the storage client; the pool's settings are added to them.
  Client_IO_Base::Options& extra_client_io_opts() { return options_; }

  // Adds a directory (or file) to store; false for an empty path.
  bool add_source(const std::string& path);

  // The run; true when the set was stored and both actions succeeded (or
  // their failures are ignored). Failures are logged once and error() says
  // what failed.
  bool backup();

  // After backup(): bytes of the stored files, bytes of the set as
  // written (the data stream), bytes of the set on storage (both files).
  unsigned long long size() const { return size_; }
  unsigned long long set_size() const { return set_size_; }
  unsigned long long set_storage_size() const { return set_storage_size_; }
  // The sequence number the set was stored under.
  unsigned int seq() const { return seq_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why);

  MTF::Event_Handler* handler_;
  MTF::Metadata& metadata_;
  ACE_Log_Msg_Callback_var log_;
  Action_Handler_var action_handler_;
  std::string pool_uuid_, device_uuid_, host_uuid_, minor_resource_id_, uuid_;
  unsigned int seq_ = 0;
  MTF::Compression compression_ = MTF::COMPRESSION_NONE;
  int compression_level_ = 0;
  bool incremental_ = false;
  Client_IO_Base::Options options_;
  std::vector<std::string> sources_;
  unsigned long long size_ = 0, set_size_ = 0, set_storage_size_ = 0;
  std::string error_;
};

#endif
