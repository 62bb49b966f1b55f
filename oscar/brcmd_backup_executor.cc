#include "oscar/brcmd_backup_executor.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <cerrno>
#include <chrono>

#include "client_io/util.h"
#include "host/base/job_cancel.h"
#include "host/base/sleep.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job_def_names.h"
#include "host/services/path_conf.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"
#include "oscar/brcmd_backup_set_record.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_run.h"
#include "oscar/brcmd_stream.h"
#include "oscar/instance_stop.h"
#include "oscar/job_alerts.h"
#include "oscar/oscar_catalog.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/run_guard.h"
#include "oscar/scope_exit.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/auto_closer.h"
#include "tollix/key_value.h"
#include "tollix/posix_time_format.h"
#include "tollix/snprintf_t.h"
#include "tollix/string_sprintf.h"

namespace oscar {

namespace {

// Opens `name` for writing, or, when a file of that name is stored already
// (a set of the same instance and type that started in the same second),
// the first free name of the form BASE_N + suffix, and answers the name
// used in `name`. The names are never reused, so no set's data is replaced.
bool open_new_storage_file(Client_IO_Ex& io, const std::string& base, const char* suffix, std::string& name) {
  const int MAX_NAMES = 1000;
  for (int n = 1; n <= MAX_NAMES; ++n) {
    const std::string candidate = n == 1 ? base + suffix : base + "_" + std::to_string(n) + suffix;
    if (io.exists(candidate.c_str()) == 1) continue;
    name = candidate;
    return io.open(name.c_str(), Client_IO_Ex::MODE_WRITE, 0, 0);
  }
  return io.open(name.c_str(), Client_IO_Ex::MODE_WRITE, 0, 0);
}

// The longest the shutdown request of an instance stopped for a backup may
// run: it is let finish when the job is being cancelled, bounded by this
// (the restart has its own limit), within the time the agent gives a
// cancelled job to end.
const std::chrono::milliseconds INSTANCE_SHUTDOWN_LIMIT(20000);

const Key2_Value_T<Job_Definition_Subtype> cmd_type_table[] = {
    {"full", 4, JOB_DEFINITION_SUBTYPE_FULL},
    {"incr", 4, JOB_DEFINITION_SUBTYPE_INCREMENTAL},
    {"diff", 4, JOB_DEFINITION_SUBTYPE_CUMULATIVE},
    {nullptr, 0, JOB_DEFINITION_SUBTYPE_NONE},
};

}  // namespace

// The names made for one backup run.
struct Backup_Run_Names {
  int compression = COMPR_NONE;
  int compression_level = 0;
  std::string backup_format;  // INSTANCE_TYPE_TIMESTAMP
  const char* suffix = "";    // of the compression method
  std::string backup_file;    // the storage file's name
  secure_string cmd;          // brcmd's command line
};

const char* type_to_cmd_name(Job_Definition_Subtype subtype) {
  return get_key_value_entry(cmd_type_table, subtype)->key;
}

Oscar_Brcmd_Backup_Executor::Oscar_Brcmd_Backup_Executor(Job& job)
    : Job_Executor_T(job), port_(2003), job_type_(def_.subtype()), in_cluster_(!def_.rsrc_form().empty()) {}

Oscar_Brcmd_Backup_Executor::~Oscar_Brcmd_Backup_Executor() {}

bool Oscar_Brcmd_Backup_Executor::is_active(const Action_Options*) {
  collector_.collect(src_->entries());
  if (collector_.sources_.empty()) {
    fail_with_alert(job_, ALERT_NO_SOURCE);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Source entry is empty.\n")));
    return false;
  }
  if (!in_cluster_) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(collector_.sources_.back().servername.c_str(), def_.id(),
                                                               def_.uid(), state, true, true)) {
    return true;
  }
  log_node_not_selected(state, "backup");
  return false;
}

bool Oscar_Brcmd_Backup_Executor::get_last_backup_info(Last_Backup_Info& info) {
  return read_last_backup_info(oscar_home_, instance_, info, true);
}

bool Oscar_Brcmd_Backup_Executor::chain_usable(const Last_Backup_Info& info) {
  return oscar::chain_usable(job_type_, info, src_->id(), tgt_.id(), static_cast<int>(def_.max_seconds_retry()));
}

bool Oscar_Brcmd_Backup_Executor::build_oscar_brcmd_backup_set(const nlohmann::json& cat,
                                                               Oscar_Brcmd_Backup_Set& bset) {
  return oscar::build_oscar_brcmd_backup_set(job_, src_->id(), act_.start_time, cat, bset);
}

bool Oscar_Brcmd_Backup_Executor::stop_instance() {
  // A cancelled run takes the instance down no more; a shutdown already
  // asked for is let finish (bounded), so that the restart after it finds
  // the instance in a known state rather than half-way down.
  if (job_.cancel_requested()) return false;
  Server_Stop how;
  how.ask = [this](int) {
    const Cleanup_Scope shutdown(INSTANCE_SHUTDOWN_LIMIT);
    const std::string isql = oscar_home_ + "/bin/isql";
    secure_string cmd;
    string_sprintf(cmd, "\"%s\" -U%s/%s -d%s -p%hu -c \"shutdown immediate\"", isql.c_str(), username_.c_str(),
                   password_.c_str(), instance_.c_str(), port_);
    if (execute_tool_cmd(oscar_home_.c_str(), cmd.c_str(), password_.c_str(), false, true, job_.log_msg_callback(),
                         nullptr) >= 0) {
      return true;
    }
    fail_with_alert(job_, ALERT_INSTANCE_STOP);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to to shutdown instance.\n")));
    return false;
  };
  how.checks = 60;
  how.kill_after_checks = false;
  return stop_instance_server(job_, oscar_home_, instance_, how);
}

bool Oscar_Brcmd_Backup_Executor::execute_i(const Action_Options* options) {
  stall_seconds_ = stall_limit_seconds(options);
  const std::unique_ptr<Job_Lock> lock = start_exclusive_run(job_, def_.id(), def_.name(), src_->id());
  if (!lock) return false;
  // A damaged or unwritable catalogue is found before the instance is
  // stopped or brcmd moves the chain state: a backup that could not be
  // recorded would leave the chain pointing at it.
  std::string catalog_error;
  if (!Catalog_Operator(-1, static_cast<int>(def_.max_seconds_retry())).check(catalog_error)) {
    // The check has logged why.
    return fail_with_alert(job_, ALERT_CATALOG_DATA);
  }
  if (collector_.sources_.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Source entry is empty.\n")));
    return fail_with_alert(job_, ALERT_NO_SOURCE);
  }
  instance_ = collector_.sources_.back().servername;
  if (!load_instance(job_, instance_, def_.uid(), false, username_, password_, oscar_home_)) return false;
  if (!check_tool_run(job_, username_, password_.c_str(), oscar_home_, instance_)) return false;

  nlohmann::json cat = nlohmann::json::object();
  // The chain as it stood before the run, read quietly: a run after which
  // it still names the same last backup did not record a new one.
  Last_Backup_Info prior;
  read_last_backup_info(oscar_home_, instance_, prior, false);
  choose_backup_type(cat);
  get_instance_port(oscar_home_.c_str(), instance_.c_str(), port_);

  Brcmd_Fifo fifo(act_.start_time);
  if (!fifo.create(job_)) return false;
  Pool_Info info;
  if (!get_pool_info(tgt_.id().c_str(), tgt_.device_id().c_str(), info, false, 0, nullptr)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get pool info.\n")));
    return fail_with_alert(job_, ALERT_NO_POOL);
  }
  Backup_Run_Names names;
  make_run_names(fifo.path(), names);
  bool archivelog = false;
  if (!read_log_mode(archivelog)) return false;
  // Putting the instance back runs whatever ended the run, a cancel
  // included: stopping a backup must never leave a database down.
  Scope_Exit restart([this, archivelog]() {
    if (archivelog) return;
    const Cleanup_Scope cleanup(INSTANCE_START_LIMIT);
    start_instance(oscar_home_.c_str(), instance_.c_str());
  });
  if (!archivelog && !stop_instance()) return false;

  Brcmd_Process brcmd(job_, true, true);
  if (!brcmd.start(oscar_home_, names.cmd.c_str(), 3, password_.c_str())) return false;
  Client_IO_Ex io;
  if (!open_storage_file(info, names, io)) return false;
  if (!stream_to_storage(brcmd, fifo.path(), io)) return false;
  return commit_backup(cat, prior, io, names.backup_file);
}

void Oscar_Brcmd_Backup_Executor::choose_backup_type(nlohmann::json& cat) {
  if (job_type_ == JOB_DEFINITION_SUBTYPE_FULL) return;
  Last_Backup_Info chain;
  if (type_to_cmd_name(job_type_) != nullptr && get_last_backup_info(chain) && chain_usable(chain)) {
    put_chain_values(cat, chain);
    return;
  }
  job_type_ = JOB_DEFINITION_SUBTYPE_FULL;
  ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Lack of backup info, run full backup instead.\n")));
}

void Oscar_Brcmd_Backup_Executor::make_run_names(const std::string& fifo, Backup_Run_Names& names) {
  const POSIX_Time_Format<16> timestamp(act_.start_time, "%Y%m%d_%H%M%S");
  const char* type_name = type_to_cmd_name(job_type_);
  names.compression = opts_ != nullptr ? opts_->compression() : COMPR_NONE;
  names.compression_level = opts_ != nullptr ? opts_->compression_level() : 0;
  names.backup_format = snprintf_t<4096>("%s_%s_%s", instance_.c_str(), type_name, timestamp.c_str()).c_str();
  names.suffix = compression_value_to_suffix(names.compression);
  names.backup_file = names.backup_format + names.suffix;
  const Path_Conf log_file(BRCMD_LOG_DIR, "brcmd", true, string_sprintf("backup_%s.log", names.backup_format.c_str()),
                           0750);
  const std::string brcmd = oscar_home_ + "/bin/brcmd";
  string_sprintf(names.cmd, "%s -O backup -d %s -u %s -p %s -P %hu -t %s -k pipe -f %s -e %s", brcmd.c_str(),
                 instance_.c_str(), username_.c_str(), password_.c_str(), port_, type_name, fifo.c_str(),
                 log_file.str().c_str());
}

bool Oscar_Brcmd_Backup_Executor::read_log_mode(bool& archivelog) {
  for (int i = 1; i <= 5; ++i) {
    if (get_log_mode(oscar_home_.c_str(), instance_.c_str(), username_.c_str(), password_.c_str(), port_, archivelog)) {
      return true;
    }
    host_sleep(ACE_Time_Value(i));
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get log archive mode of oscar instance '%s'.\n"), instance_.c_str()));
  return fail_with_alert(job_, ALERT_LOG_MODE);
}

bool Oscar_Brcmd_Backup_Executor::open_storage_file(const Pool_Info& info, Backup_Run_Names& names, Client_IO_Ex& io) {
  Client_IO_Base::Options opts;
  opts.compression_method = names.compression;
  opts.compression_level = names.compression_level;
  // Never replace a stored file: an earlier set of the same second would
  // lose its data while its record still pointed at the name.
  opts.overwrite = false;
  opts.dedup_chunk_size = 1;
  set_options_by_job_def(opts, &def_, 1);
  if (!set_options_by_pool(opts, info)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to set extra options.\n")));
    return fail_with_alert(job_, ALERT_STORAGE_OPTIONS);
  }
  set_options_by_host(opts);
  if (!connect_storage(job_, io, info.url + "/" + src_->id(), opts)) return false;
  if (!open_new_storage_file(io, names.backup_format, names.suffix, names.backup_file)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s.\n"), names.backup_file.c_str(), io.error()));
    return fail_with_alert(job_, ALERT_STORAGE_OPEN);
  }
  return true;
}

bool Oscar_Brcmd_Backup_Executor::stream_to_storage(Brcmd_Process& brcmd, const std::string& fifo, Client_IO_Ex& io) {
  Auto_Closer<int, Auto_Handle_Trait> fd(open_fifo_for_reading(fifo, brcmd.alive()));
  if (!fd.valid() && job_.cancel_requested()) {
    note_fifo_cancel(fifo);
    return false;
  }
  if (!fd.valid()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open fifo %s, errno=%d, %m\n"), fifo.c_str(), errno));
    return fail_with_alert(job_, ALERT_FIFO);
  }
  std::uint64_t bytes_sent = 0;
  if (!copy_backup_stream(job_, evt_handler_, fd.get(), fifo, io, bytes_sent, stall_seconds_)) return false;
  fd.reset();
  const int status = brcmd.wait_exit();
  if (status == 0) return true;
  if (status == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd did not exit after the end of its stream\n")));
  } else {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd failed with exit status %d\n"), status));
  }
  return fail_with_alert(job_, ALERT_BRCMD_FAILED);
}

bool Oscar_Brcmd_Backup_Executor::commit_backup(nlohmann::json& cat, const Last_Backup_Info& prior, Client_IO_Ex& io,
                                                const std::string& backup_file) {
  Last_Backup_Info after;
  if (!get_last_backup_info(after)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get backup info.\n")));
    return fail_with_alert(job_, ALERT_BACKUP_INFO);
  }
  if (after.last_backup_id == prior.last_backup_id) {
    ACE_ERROR(
        (LM_ERROR,
         ACE_TEXT("%N:%l Backup chain state still names backup %s as the last one: brcmd recorded no new backup\n"),
         after.last_backup_id.c_str()));
    return fail_with_alert(job_, ALERT_BACKUP_INFO);
  }
  // From here brcmd has moved the chain state to this backup: unless it is
  // recorded, an incremental on top of it could never be restored. A file
  // stored for it would belong to no record, so it is removed.
  bool stored = false;
  Scope_Exit unrecorded([&]() {
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("%N:%l Backup %C is not recorded: the database's chain state has moved to an unrecorded "
                        "backup, so the next incremental backup will run as full\n"),
               after.last_backup_id.c_str()));
    if (stored && !io.remove(backup_file.c_str())) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to remove file %C: %C\n"), backup_file.c_str(), io.error()));
    }
  });
  if (!io.close()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to close file %s: %s.\n"), backup_file.c_str(), io.error()));
    return fail_with_alert(job_, ALERT_WRITE);
  }
  stored = true;
  act_.set_size = io.original_size();
  act_.size = io.original_size();
  act_.set_storage_size = io.storage_size();

  cat["uid"] = def_.uid();
  cat["definition_uuid"] = def_.id();
  cat["name"] = def_.name();
  cat["agent"] = def_.agent();
  cat["host_uuid"] = def_.host_id();
  cat["resource_uuid"] = src_->id();
  cat["pool_uuid"] = tgt_.id();
  cat["uri"] = src_->id();
  cat["type"] = job_def_subtype_to_string(job_type_, nullptr);
  cat["backup_file"] = backup_file;
  cat["backup_set_size"] = act_.set_size;
  cat["backup_set_storage_size"] = act_.set_storage_size;
  // The stored bytes' digest, so that a restore or a check can prove the
  // file is still the one written here.
  cat["backup_set_digest"] = io.stored_digest();
  put_backup_identity(cat, after, job_type_ == JOB_DEFINITION_SUBTYPE_FULL);

  Oscar_Brcmd_Backup_Set bset;
  if (!build_oscar_brcmd_backup_set(cat, bset)) return false;
  // An aborted job records nothing, even when its backup got this far.
  if (job_.cancel_requested()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The job was cancelled before backup %C was recorded\n"),
               after.last_backup_id.c_str()));
    return false;
  }
  if (!Catalog_Operator(-1, -1).commit(bset)) return false;
  unrecorded.dismiss();
  return true;
}

}  // namespace oscar
