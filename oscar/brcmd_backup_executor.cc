#include "oscar/brcmd_backup_executor.h"

#include <ace/ACE.h>
#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include <cerrno>

#include "client_io/util.h"
#include "host/base/sleep.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job_def_names.h"
#include "host/jobs/job_mutex.h"
#include "host/jobs/job_thread_helper.h"
#include "host/services/instance_manager.h"
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
#include "oscar/scope_exit.h"
#include "oscar/server_process.h"
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

const Key2_Value_T<Job_Definition_Subtype> cmd_type_table[] = {
    {"full", 4, JOB_DEFINITION_SUBTYPE_FULL},
    {"incr", 4, JOB_DEFINITION_SUBTYPE_INCREMENTAL},
    {"diff", 4, JOB_DEFINITION_SUBTYPE_CUMULATIVE},
    {nullptr, 0, JOB_DEFINITION_SUBTYPE_NONE},
};

}  // namespace

const char* type_to_cmd_name(Job_Definition_Subtype subtype) {
  return get_key_value_entry(cmd_type_table, subtype)->key;
}

Oscar_Brcmd_Backup_Executor::Oscar_Brcmd_Backup_Executor(Job& job)
    : Job_Executor_T(job), _port(2003), _job_type(def_.subtype()), _in_cluster(!def_.rsrc_form().empty()) {}

Oscar_Brcmd_Backup_Executor::~Oscar_Brcmd_Backup_Executor() {}

bool Oscar_Brcmd_Backup_Executor::is_active(const Action_Options*) {
  _collector.collect(src_->entries());
  if (_collector.sources_.empty()) {
    fail_with_alert(job_, ALERT_NO_SOURCE);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Source entry is empty.\n")));
    return false;
  }
  if (!_in_cluster) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(_collector.sources_.back().servername.c_str(), def_.id(),
                                                               def_.uid(), state, true, true)) {
    return true;
  }
  log_node_not_selected(state, "backup");
  return false;
}

bool Oscar_Brcmd_Backup_Executor::get_last_backup_info(Last_Backup_Info& info) {
  return read_last_backup_info(_oscar_home, _instance, info, true);
}

bool Oscar_Brcmd_Backup_Executor::check_full_backup_set_state(const Last_Backup_Info& info) {
  return oscar::check_full_backup_set_state(info, src_->id(), tgt_.id(), static_cast<int>(def_.max_seconds_retry()));
}

bool Oscar_Brcmd_Backup_Executor::build_oscar_brcmd_backup_set(const nlohmann::json& cat,
                                                               Oscar_Brcmd_Backup_Set& bset) {
  return oscar::build_oscar_brcmd_backup_set(job_, src_->id(), act_.start_time, cat, bset);
}

std::uint64_t Oscar_Brcmd_Backup_Executor::get_backup_set_size(const char* buf, unsigned long len) {
  return oscar::get_backup_set_size(buf, len);
}

bool Oscar_Brcmd_Backup_Executor::execute_backup(const char* cmd, std::atomic<bool>& succeeded,
                                                 Execute_Cmd_Line_Handler& cmd_handler) {
  const bool ok = execute_oscar_brcmd_spawn(_oscar_home.c_str(), cmd, job_.log_msg_callback(), cmd_handler) == 0;
  succeeded = ok;
  return ok;
}

bool Oscar_Brcmd_Backup_Executor::stop_instance() {
  Server_Stop how;
  how.ask = [this](int) {
    const std::string isql = _oscar_home + "/bin/isql";
    secure_string cmd;
    string_sprintf(cmd, "\"%s\" -U%s/%s -d%s -p%hu -c \"shutdown immediate\"", isql.c_str(), _username.c_str(),
                   _password.c_str(), _instance.c_str(), _port);
    if (execute_oscar_cmd(_oscar_home.c_str(), cmd.c_str(), false, true, job_.log_msg_callback(), nullptr) >= 0) {
      return true;
    }
    fail_with_alert(job_, ALERT_INSTANCE_STOP);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to to shutdown instance.\n")));
    return false;
  };
  how.checks = 60;
  how.kill_after_checks = false;
  return stop_instance_server(job_, _oscar_home, _instance, how);
}

bool Oscar_Brcmd_Backup_Executor::execute_i(const Action_Options*) {
  ACE_Guard<ACE_Thread_Mutex> guard(Job_Mutex::get(src_->id()));
  if (!guard.locked()) return false;
  if (_collector.sources_.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Source entry is empty.\n")));
    return fail_with_alert(job_, ALERT_NO_SOURCE);
  }
  _instance = _collector.sources_.back().servername;
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, manager is NULL:\n%?\n")));
    return false;
  }
  if (manager->get_account("oscar", _instance, def_.uid(), _username, _password, nullptr) < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get account.\n")));
    return fail_with_alert(job_, ALERT_NO_ACCOUNT);
  }
  Instance_ptr instance = manager->find("oscar", _instance);
  if (!instance) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to invoke execute_i, can't find instance.\n")));
    return false;
  }
  if (!get_from_instance_options(instance, "oscar_home", _oscar_home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get oscar home.\n")));
    return fail_with_alert(job_, ALERT_NO_HOME);
  }

  nlohmann::json cat = nlohmann::json::object();
  // The chain as it stood before the run, read quietly: a run after which
  // it still names the same last backup did not record a new one.
  Last_Backup_Info prior;
  read_last_backup_info(_oscar_home, _instance, prior, false);
  if (_job_type != JOB_DEFINITION_SUBTYPE_FULL) {
    Last_Backup_Info chain;
    if (type_to_cmd_name(_job_type) != nullptr && get_last_backup_info(chain) && check_full_backup_set_state(chain)) {
      put_chain_values(cat, chain);
    } else {
      _job_type = JOB_DEFINITION_SUBTYPE_FULL;
      ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Lack of backup info, run full backup instead.\n")));
    }
  }
  return run_backup(cat, prior);
}

bool Oscar_Brcmd_Backup_Executor::run_backup(nlohmann::json& cat, const Last_Backup_Info& prior) {
  get_instance_port(_oscar_home.c_str(), _instance.c_str(), _port);

  const POSIX_Time_Format<16> timestamp(act_.start_time, "%Y%m%d_%H%M%S");
  const Path_Conf fifo(BRCMD_FIFO_DIR, true, make_fifo_name(act_.start_time), 0750);
  if (ACE_OS::mkfifo(fifo.str().c_str(), 0640) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create fifo %s, errno=%d, %m\n"), fifo.str().c_str(), errno));
    return fail_with_alert(job_, ALERT_FIFO);
  }
  Scope_Exit remove_fifo([&fifo]() { ACE_OS::unlink(fifo.str().c_str()); });

  Pool_Info info;
  if (!get_pool_info(tgt_.id().c_str(), tgt_.device_id().c_str(), info, false, 0, nullptr)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get pool info.\n")));
    return fail_with_alert(job_, ALERT_NO_POOL);
  }

  const char* type_name = type_to_cmd_name(_job_type);
  const int compression = opts_ != nullptr ? opts_->compression() : COMPR_NONE;
  const int level = opts_ != nullptr ? opts_->compression_level() : 0;
  const snprintf_t<4096> backup_format("%s_%s_%s", _instance.c_str(), type_name, timestamp.c_str());
  const char* const suffix = compression_value_to_suffix(compression);
  std::string backup_file = std::string(backup_format.c_str()) + suffix;
  const Path_Conf log_file(BRCMD_LOG_DIR, "brcmd", true, string_sprintf("backup_%s.log", backup_format.c_str()), 0750);
  const std::string brcmd = _oscar_home + "/bin/brcmd";
  secure_string cmd;
  string_sprintf(cmd, "%s -O backup -d %s -u %s -p %s -P %hu -t %s -k pipe -f %s -e %s", brcmd.c_str(),
                 _instance.c_str(), _username.c_str(), _password.c_str(), _port, type_name, fifo.str().c_str(),
                 log_file.str().c_str());

  bool archivelog = false;
  bool have_mode = false;
  for (int i = 1; i <= 5 && !have_mode; ++i) {
    have_mode =
        get_log_mode(_oscar_home.c_str(), _instance.c_str(), _username.c_str(), _password.c_str(), _port, archivelog);
    if (!have_mode) host_sleep(ACE_Time_Value(i));
  }
  if (!have_mode) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("%N:%l Failed to get log archive mode of oscar instance '%s'.\n"), _instance.c_str()));
    return fail_with_alert(job_, ALERT_LOG_MODE);
  }
  Scope_Exit restart([this, archivelog]() {
    if (!archivelog) start_instance(_oscar_home.c_str(), _instance.c_str());
  });
  if (!archivelog && !stop_instance()) return false;

  Execute_Cmd_Line_Handler cmd_handler(nullptr, true);
  std::atomic<bool> ret(true);
  Job_Thread_Helper backup_thread(job_, BRCMD_WORKER_FLAGS, ACE_DEFAULT_THREAD_PRIORITY);
  if (backup_thread.spawn(std::function<void()>([&]() { execute_backup(cmd.c_str(), ret, cmd_handler); })) == -1) {
    ret = false;
  }
  host_sleep(ACE_Time_Value(3));
  backup_thread.join();
  if (!ret) return false;
  Scope_Exit end_brcmd([&cmd_handler]() {
    cmd_handler.terminate(600);
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Process brcmd terminate.\n")));
  });

  Client_IO_Base::Options opts;
  opts.compression_method = compression;
  opts.compression_level = level;
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
  Client_IO_Ex io;
  const std::string target_uri = info.url + "/" + src_->id();
  if (!io.connect(target_uri, opts)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to connect to storage: %s.\n"), io.error()));
    return fail_with_alert(job_, ALERT_STORAGE_CONNECT);
  }
  if (!open_new_storage_file(io, backup_format.c_str(), suffix, backup_file)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s.\n"), backup_file.c_str(), io.error()));
    return fail_with_alert(job_, ALERT_STORAGE_OPEN);
  }
  Auto_Closer<int, Auto_Handle_Trait> fd(
      open_fifo_for_reading(fifo.str(), [&cmd_handler]() { return cmd_handler.running(); }));
  if (!fd.valid()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open fifo %s, errno=%d, %m\n"), fifo.str().c_str(), errno));
    return fail_with_alert(job_, ALERT_FIFO);
  }
  std::uint64_t bytes_sent = 0;
  if (!copy_backup_stream(job_, evt_handler_, fd.get(), fifo.str(), io, bytes_sent)) return false;

  fd.reset();
  const int status = wait_for_brcmd_exit(cmd_handler);
  if (status != 0) {
    if (status == -1) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd did not exit after the end of its stream\n")));
    } else {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd failed with exit status %d\n"), status));
    }
    return false;
  }
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
  if (!io.close()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to close file %s: %s.\n"), backup_file.c_str(), io.error()));
    return fail_with_alert(job_, ALERT_WRITE);
  }
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
  cat["type"] = job_def_subtype_to_string(_job_type, nullptr);
  cat["backup_file"] = backup_file;
  cat["backup_set_size"] = act_.set_size;
  cat["backup_set_storage_size"] = act_.set_storage_size;
  put_backup_identity(cat, after, _job_type == JOB_DEFINITION_SUBTYPE_FULL);

  Oscar_Brcmd_Backup_Set bset;
  if (!build_oscar_brcmd_backup_set(cat, bset)) return false;
  return Catalog_Operator(-1, -1).commit(bset);
}

}  // namespace oscar
