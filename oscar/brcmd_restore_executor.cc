#include "oscar/brcmd_restore_executor.h"

#include <ace/ACE.h>
#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <exception>
#include <nlohmann/json.hpp>
#include <vector>

#include "client_io/util.h"
#include "host/base/sleep.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job_mutex.h"
#include "host/jobs/job_thread_helper.h"
#include "host/services/instance_manager.h"
#include "host/services/path_conf.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_restore_feed.h"
#include "oscar/brcmd_run.h"
#include "oscar/brcmd_stream.h"
#include "oscar/instance_stop.h"
#include "oscar/job_alerts.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/scope_exit.h"
#include "oscar/server_process.h"
#include "oscar/utils.h"
#include "tollix/auto_closer.h"
#include "tollix/posix_time_format.h"
#include "tollix/secure_allocator.h"
#include "tollix/string_sprintf.h"

namespace oscar {

namespace {

// One backup set to feed, as the catalogue names it, and where it is stored.
struct Set_Row {
  std::string pool_uuid;
  std::string uri;
  std::string backup_file;
  std::uint64_t backup_set_size;
  std::uint64_t storage_size;  // 0 when the record does not say
  std::string target_uri;
  Client_IO_Base::Options opts;
};

}  // namespace

Oscar_Brcmd_Restore_Executor::Oscar_Brcmd_Restore_Executor(Job& job)
    : Job_Executor_T(job), _in_cluster(!def_.rsrc_form().empty()) {}

Oscar_Brcmd_Restore_Executor::~Oscar_Brcmd_Restore_Executor() {}

bool Oscar_Brcmd_Restore_Executor::is_active(const Action_Options*) {
  _instance = src_->get_restore_as().database;
  if (!_in_cluster) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(
          _instance.c_str(), def_.id(), def_.uid(), state, def_.subtype() == JOB_DEFINITION_SUBTYPE_IMPORT, false)) {
    return true;
  }
  log_node_not_selected(state, "restore");
  return false;
}

bool Oscar_Brcmd_Restore_Executor::get_latest_info_from_catalog() {
  nlohmann::json query = nlohmann::json::object();
  query["resource_uuid"] = src_->id();
  query["sort"] = "backup_start_time";
  query["order"] = "desc";
  nlohmann::json result;
  Catalog_Operator op(-1, static_cast<int>(def_.max_seconds_retry()));
  if (!op.get_view("oscar_brcmd", "catalogs", query, result) || !result.is_object()) return false;
  try {
    const auto rows = result.find("rows");
    if (rows == result.end() || !rows->is_array() || rows->empty() || rows->front().is_null()) return false;
    src_->catalog_id(rows->front().at("backup_id").get<std::string>());
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid catalog data: %s\n"), e.what()));
    return false;
  }
  return true;
}

bool Oscar_Brcmd_Restore_Executor::execute_restore(const char* cmd, std::atomic<bool>& succeeded,
                                                   Execute_Cmd_Line_Handler& cmd_handler) {
  const bool ok = execute_oscar_brcmd_spawn(_oscar_home.c_str(), cmd, job_.log_msg_callback(), cmd_handler) == 0;
  succeeded = ok;
  return ok;
}

bool Oscar_Brcmd_Restore_Executor::stop_instance() {
  return stop_instance_server(job_, _oscar_home, _instance, stop_by_signals(job_));
}

bool Oscar_Brcmd_Restore_Executor::execute_i(const Action_Options*) {
  ACE_Guard<ACE_Thread_Mutex> guard(Job_Mutex::get(src_->id()));
  if (!guard.locked()) return false;
  _instance = src_->get_restore_as().database;
  if (def_.periodic() && !get_latest_info_from_catalog()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get latest info from catalog\n")));
    return fail_with_alert(job_, ALERT_NO_LATEST_BACKUP);
  }
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, manager is NULL:\n%?\n")));
    return false;
  }
  std::string user;
  secure_string password;
  if (manager->get_account("oscar", _instance, def_.uid(), user, password, nullptr) < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get account.\n")));
    return fail_with_alert(job_, ALERT_NO_ACCOUNT);
  }
  wipe(password);
  Instance_ptr instance = manager->find("oscar", _instance);
  if (!instance) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to invoke execute_i, can't find instance.\n")));
    return fail_with_alert(job_, ALERT_NO_INSTANCE);
  }
  if (!get_from_instance_options(instance, "oscar_home", _oscar_home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get oscar home.\n")));
    return fail_with_alert(job_, ALERT_NO_HOME);
  }

  const Path_Conf fifo(BRCMD_FIFO_DIR, true, make_fifo_name(act_.start_time), 0750);
  if (ACE_OS::mkfifo(fifo.str().c_str(), 0640) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create fifo %s, errno=%d, %m\n"), fifo.str().c_str(), errno));
    return fail_with_alert(job_, ALERT_FIFO);
  }
  Scope_Exit remove_fifo([&fifo]() { ACE_OS::unlink(fifo.str().c_str()); });

  Client_IO_Base::Options opts;
  opts.compression_method = COMPR_AUTO;
  opts.overwrite = true;
  opts.dedup_chunk_size = 1;
  set_options_by_job_def(opts, &def_, 1);
  set_options_by_host(opts);

  nlohmann::json query = nlohmann::json::object();
  query["backup_id"] = src_->catalog_id();
  query["order"] = "desc";
  nlohmann::json catalogs;
  Catalog_Operator op(-1, static_cast<int>(def_.max_seconds_retry()));
  if (!op.get_view("oscar_brcmd", "catalog_sequences", query, catalogs) || catalogs.is_null()) return false;

  std::vector<Set_Row> sets;
  std::uint64_t backup_set_size = 0;
  try {
    for (const nlohmann::json& row : catalogs.at("rows")) {
      const std::uint64_t set_size = row.at("backup_set_size").get<std::uint64_t>();
      backup_set_size += set_size;
      Set_Row set;
      set.pool_uuid = row.at("pool_uuid").get<std::string>();
      set.uri = row.at("uri").get<std::string>();
      set.backup_file = row.at("backup_file").get<std::string>();
      set.backup_set_size = set_size;
      set.storage_size = row.value("backup_set_storage_size", std::uint64_t(0));
      sets.push_back(set);
    }
    if (!catalogs.at("rows").is_array()) throw std::runtime_error("rows is not an array");
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid catalog data, exception: %s\n"), e.what()));
    return fail_with_alert(job_, ALERT_CATALOG_DATA);
  }
  if (backup_set_size == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid backup set size\n")));
    return fail_with_alert(job_, ALERT_BACKUP_INFO);
  }

  // Every set's pool and stored file is checked before the instance is
  // touched: a missing or cut-short file then fails the job with the
  // database still as it was.
  for (Set_Row& row : sets) {
    Pool_Info info;
    if (!get_pool_info(row.pool_uuid.c_str(), nullptr, info, true, 0, nullptr)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get pool info.\n")));
      return fail_with_alert(job_, ALERT_NO_POOL);
    }
    row.opts = opts;
    if (!set_options_by_pool(row.opts, info)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to set client options.\n")));
      return fail_with_alert(job_, ALERT_STORAGE_OPTIONS);
    }
    row.target_uri = info.url + "/" + row.uri;
    Client_IO_Ex io;
    if (!io.connect(row.target_uri, row.opts)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to connect to storage: %s.\n"), io.error()));
      return fail_with_alert(job_, ALERT_STORAGE_CONNECT);
    }
    unsigned long long stored = 0;
    if (io.stored_size(row.backup_file.c_str(), stored) != 1) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s\n"), row.backup_file.c_str(), io.error()));
      return fail_with_alert(job_, ALERT_STORAGE_OPEN);
    }
    if (row.storage_size != 0 && stored != row.storage_size) {
      ACE_ERROR((LM_ERROR,
                 ACE_TEXT("%N:%l Failed to read backup set %s: it holds %Q bytes in storage, its record %Q\n"),
                 row.backup_file.c_str(), static_cast<ACE_UINT64>(stored), static_cast<ACE_UINT64>(row.storage_size)));
      return fail_with_alert(job_, ALERT_STREAM_READ);
    }
  }

  Stream_Progress progress(evt_handler_, backup_set_size);
  const std::string brcmd = _oscar_home + "/bin/brcmd";
  for (const Set_Row& row : sets) {
    const POSIX_Time_Format<16> timestamp(std::time(nullptr), "%Y%m%d_%H%M%S");
    const Path_Conf log_file(BRCMD_LOG_DIR, "brcmd", true, string_sprintf("restore_%s.log", timestamp.c_str()), 0750);
    const std::string cmd =
        string_sprintf("%s -O restore -d %s -t backup_point_last -k pipe -f %s -e %s", brcmd.c_str(), _instance.c_str(),
                       fifo.str().c_str(), log_file.str().c_str());
    if (!stop_instance()) return false;

    Execute_Cmd_Line_Handler cmd_handler(nullptr, false);
    std::atomic<bool> ret(true);
    {
      Job_Thread_Helper restore_thread(job_, BRCMD_WORKER_FLAGS, ACE_DEFAULT_THREAD_PRIORITY);
      if (restore_thread.spawn(std::function<void()>([&]() { execute_restore(cmd.c_str(), ret, cmd_handler); })) ==
          -1) {
        ret = false;
      }
    }
    if (!ret) return false;
    Scope_Exit end_brcmd([&cmd_handler]() { cmd_handler.terminate(600); });

    Client_IO_Ex io;
    if (!io.connect(row.target_uri, row.opts)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to connect to storage: %s.\n"), io.error()));
      return fail_with_alert(job_, ALERT_STORAGE_CONNECT);
    }
    if (!io.open(row.backup_file.c_str(), Client_IO_Ex::MODE_READ, 0, 0)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s\n"), row.backup_file.c_str(), io.error()));
      return fail_with_alert(job_, ALERT_STORAGE_OPEN);
    }
    Auto_Closer<int, Auto_Handle_Trait> fd(
        open_fifo_for_writing(fifo.str(), [&cmd_handler]() { return cmd_handler.running(); }));
    if (!fd.valid()) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open fifo %s, errno=%d, %m\n"), fifo.str().c_str(), errno));
      return fail_with_alert(job_, ALERT_FIFO);
    }
    if (!feed_backup_set(job_, io, row.backup_file, fd.get(), progress, row.backup_set_size)) {
      // End brcmd before its fifo closes, so it never sees the end of a set
      // that was not fed whole.
      cmd_handler.terminate(600);
      return false;
    }
    fd.reset();
    const int status = wait_for_brcmd_exit(cmd_handler);
    if (status != 0) {
      if (status == -1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd did not exit after the end of backup set %s\n"),
                   row.backup_file.c_str()));
      } else {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd failed with exit status %d restoring %s\n"), status,
                   row.backup_file.c_str()));
      }
      return false;
    }
  }
  act_.set_size = backup_set_size;
  act_.size = backup_set_size;
  return start_instance(_oscar_home.c_str(), _instance.c_str());
}

}  // namespace oscar
