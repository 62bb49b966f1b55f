#include "oscar/restore_executor.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "client_io/util.h"
#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/fileset/mtf_restore.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "oscar/action_handlers.h"
#include "oscar/brcmd_run.h"
#include "oscar/dump_spool.h"
#include "oscar/event_handlers.h"
#include "oscar/job_alerts.h"
#include "oscar/name_check.h"
#include "oscar/name_rule.h"
#include "oscar/oscar_catalog.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/run_guard.h"
#include "oscar/scope_exit.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/posix_time_format.h"
#include "tollix/string_sprintf.h"

namespace oscar {

namespace {

// The first row of a query on the export catalogue, or false when the
// catalogue does not answer one.
bool first_catalog_row(const nlohmann::json& query, unsigned int max_seconds_retry, nlohmann::json& row) {
  nlohmann::json result;
  Catalog_Operator op(-1, static_cast<int>(max_seconds_retry));
  if (!op.get_view("oscar", "catalogs", query, result) || !result.is_object()) return false;
  const auto rows = result.find("rows");
  if (rows == result.end() || !rows->is_array() || rows->empty() || !rows->front().is_object()) return false;
  row = rows->front();
  return true;
}

}  // namespace

Restore_Executor::Restore_Executor(Job& job)
    : Job_Executor_T(job), type_(def_.subtype()), in_cluster_(!def_.rsrc_form().empty()) {}

Restore_Executor::~Restore_Executor() {}

bool Restore_Executor::is_active(const Action_Options*) {
  if (!in_cluster_) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(src_->get_restore_as().database.c_str(), def_.id(),
                                                               def_.uid(), state,
                                                               type_ == JOB_DEFINITION_SUBTYPE_IMPORT, false)) {
    return true;
  }
  log_node_not_selected(state, "restore");
  return false;
}

bool Restore_Executor::cancelled() {
  if (!job_.cancel_requested()) return false;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The import of %C was cancelled\n"), instance_.c_str()));
  return true;
}

bool Restore_Executor::get_latest_info_from_catalog() {
  Restore_Job_Source::original& original = src_->get_original();
  nlohmann::json query = nlohmann::json::object();
  query["resource_uuid"] = src_->id();
  query["database"] = original.database;
  query["grade"] = "database";
  query["with_files"] = "1";
  query["sort"] = "backup_start_time";
  query["order"] = "desc";
  nlohmann::json row;
  if (!first_catalog_row(query, def_.max_seconds_retry(), row)) return false;
  try {
    std::string file = original.backup_file;
    for (const nlohmann::json& f : row.at("backup_files")) {
      if (!f.is_object()) continue;
      const auto db = f.find("database");
      if (db != f.end() && db->is_string() && db->get<std::string>() == original.database) {
        file = f.at("file").get<std::string>();
        break;
      }
    }
    if (!row.at("backup_files").is_array()) throw std::runtime_error("backup_files is not an array");
    const std::string pool = row.at("pool_uuid").get<std::string>();
    const std::string definition = row.at("definition_uuid").get<std::string>();
    const std::string uuid = row.at("uuid").get<std::string>();
    const nlohmann::json& seq = row.at("seq");
    if (!seq.is_number_unsigned()) throw std::runtime_error("seq is not a sequence number");
    original.backup_file = file;
    pool_uuid_ = pool;
    src_->backup_definition_id(definition);
    src_->catalog_id(uuid);
    src_->seq(seq.get<unsigned long long>());
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid catalog data: %s\n"), e.what()));
    return false;
  }
  return true;
}

bool Restore_Executor::check_target_names() {
  const Restore_Job_Source::restore_as& as = src_->get_restore_as();
  bool ok = valid_object_name("database", as.database);
  if (ok && !as.schema.empty()) ok = valid_object_name("schema", as.schema);
  if (ok && !as.schema.empty() && !as.table.empty()) ok = valid_object_name("table", as.table);
  return ok || fail_with_alert(job_, ALERT_INVALID_NAME);
}

bool Restore_Executor::create_tablespaces() {
  nlohmann::json query = nlohmann::json::object();
  query["uuid"] = src_->catalog_id();
  query["sort"] = "backup_start_time";
  query["order"] = "desc";
  nlohmann::json row;
  if (!first_catalog_row(query, def_.max_seconds_retry(), row)) return false;
  std::vector<std::string> recorded;
  try {
    for (const nlohmann::json& name : row.at("tablespaces")) recorded.push_back(name.get<std::string>());
    if (!row.at("tablespaces").is_array()) throw std::runtime_error("tablespaces is not an array");
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid catalog, exception: %s\n"), e.what()));
    return fail_with_alert(job_, ALERT_EXPORT_RECORD);
  }
  // Each name goes unquoted into SQL and into a data file's path: all are
  // checked before the first one is created.
  for (const std::string& name : recorded) {
    if (!valid_object_name("tablespace", name)) return fail_with_alert(job_, ALERT_EXPORT_RECORD);
  }
  std::vector<std::string> existing;
  if (!get_user_tablespaces(oscar_home_.c_str(), instance_.c_str(), username_.c_str(), password_.c_str(), port_,
                            existing)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get tablespace info.\n")));
    return fail_with_alert(job_, ALERT_TABLESPACES);
  }
  const POSIX_Time_Format<16> stamp(act_.start_time, "%Y%m%d_%H%M%S");
  for (const std::string& name : recorded) {
    if (std::find(existing.begin(), existing.end(), name) != existing.end()) continue;
    if (cancelled()) return false;
    const std::string datafile =
        oscar_home_ + "/odbs/" + instance_ + "/" + string_sprintf("%s_%s.dbf", name.c_str(), stamp.c_str());
    const std::string sql = string_sprintf("create tablespace %s datafile '%s'", name.c_str(), datafile.c_str());
    secure_string cmd;
    string_sprintf(cmd, "%s/bin/isql -U%s/%s -d%s -p%hu -c \"%s\"", oscar_home_.c_str(), username_.c_str(),
                   password_.c_str(), instance_.c_str(), port_, sql.c_str());
    if (execute_tool_cmd(oscar_home_.c_str(), cmd.c_str(), password_.c_str(), false, true, job_.log_msg_callback(),
                         nullptr) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create tablespace %C.\n"), name.c_str()));
      return fail_with_alert(job_, ALERT_EXPORT_RECORD);
    }
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Created tablespace %C with data file %C\n"), name.c_str(), datafile.c_str()));
  }
  return true;
}

bool Restore_Executor::execute_i(const Action_Options*) {
  const std::vector<std::unique_ptr<Job_Lock>> locks =
      start_exclusive_run(job_, def_.id(), def_.name(), src_->id(), set_owner());
  if (locks.empty()) return false;
  act_.code = 0;
  act_.message.clear();
  std::string run_dir;
  if (!choose_dump_file(run_dir) || !check_set_ids() || !load_account() || cancelled() || !create_tablespaces())
    return false;

  Restore_Input input;
  init_input(input);
  std::unique_ptr<Restore_Event_Handler> events(new (std::nothrow) Restore_Event_Handler(&def_, &act_));
  if (!events) {
    errno = ENOMEM;
    return false;
  }
  MTF_Restore reader(events.get(), job_.log_msg_callback());
  reader.action_handler(make_action_handler(&input));
  if (!configure_reader(reader)) return false;
  const nlohmann::json selection = nlohmann::json::array({{{"dir", dirname(input.backup_file)}}});
  reader.restore_select(&selection);
  return read_back(reader, run_dir);
}

bool Restore_Executor::check_set_ids() {
  return check_id("backup host id", src_->backup_host_id()) &&
         check_id("backup definition id", src_->backup_definition_id());
}

std::string Restore_Executor::set_owner() {
  if (def_.periodic()) return src_->id();
  nlohmann::json row;
  if (!first_catalog_row({{"uuid", src_->catalog_id()}}, def_.max_seconds_retry(), row)) return src_->id();
  const auto owner = row.find("resource_uuid");
  return owner != row.end() && owner->is_string() ? owner->get<std::string>() : src_->id();
}

bool Restore_Executor::choose_dump_file(std::string& run_dir) {
  if (def_.periodic() && !get_latest_info_from_catalog()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get latest info from catalog\n")));
    return fail_with_alert(job_, ALERT_NO_LATEST_BACKUP);
  }
  instance_ = src_->get_restore_as().database;
  if (!check_target_names()) return false;
  // A catalogued path is trusted only inside the spool: the reader writes
  // there and the run directory is removed afterwards.
  const std::string& backup_file = src_->get_original().backup_file;
  std::string why;
  if (!export_run_dir(backup_file, run_dir, why)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refused to restore dump file \"%C\": %C\n"),
               printable_name(backup_file).c_str(), why.c_str()));
    return fail_with_alert(job_, ALERT_EXPORT_RECORD);
  }
  if (!prepare_dump_spool(why)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refused the dump spool: %C\n"), why.c_str()));
    return false;
  }
  return true;
}

bool Restore_Executor::load_account() {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, manager is NULL:\n%?\n")));
    return false;
  }
  if (manager->get_account("oscar", instance_, def_.uid(), username_, password_, nullptr) < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Fail to get login info.\n")));
    return fail_with_alert(job_, ALERT_NO_ACCOUNT);
  }
  const Instance_ptr registered = manager->find("oscar", instance_);
  if (!registered || !get_from_instance_options(registered, "oscar_home", oscar_home_)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get oscar_home.\n")));
    return fail_with_alert(job_, ALERT_NO_HOME);
  }
  if (!check_tool_run(job_, username_, password_.c_str(), oscar_home_, instance_)) return false;
  if (!get_instance_port(oscar_home_.c_str(), instance_.c_str(), port_)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get port.\n")));
    return fail_with_alert(job_, ALERT_NO_PORT);
  }
  return true;
}

void Restore_Executor::init_input(Restore_Input& input) {
  input.original_database = src_->get_original().database;
  input.restore_as_database = src_->get_restore_as().database;
  input.restore_as_schema = src_->get_restore_as().schema;
  input.restore_as_table = src_->get_restore_as().table;
  input.backup_file = src_->get_original().backup_file;
  input.oscar_home = oscar_home_;
  input.username = username_;
  input.password = password_;
  input.port = port_;
  input.log_msg_callback = job_.log_msg_callback();
}

bool Restore_Executor::configure_reader(MTF_Restore& reader) {
  if (!def_.periodic()) {
    Pool_Info pool;
    if (!get_pool_info(src_->pool_uuid().c_str(), nullptr, pool, true, 0, nullptr)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get pool info.\n")));
      return fail_with_alert(job_, ALERT_NO_POOL);
    }
    pool_uuid_ = src_->pool_uuid();
  }
  reader.pool_uuid(pool_uuid_, true);
  reader.definition_uuid(def_.id());
  reader.backup_host_uuid(src_->backup_host_id());
  reader.backup_minor_resource_id(src_->backup_definition_id());
  reader.seq(static_cast<unsigned int>(src_->seq()));
  set_options_by_job_def(reader.extra_client_io_opts(), &def_, 1);
  set_options_by_host(reader.extra_client_io_opts());
  return true;
}

bool Restore_Executor::read_back(MTF_Restore& reader, const std::string& run_dir) {
  // The dump file exists only while the run lasts, whatever its outcome.
  const Scope_Exit remove_run_dir([&run_dir] {
    if (rm_rf(run_dir) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to remove %C, errno=%d, %m\n"), run_dir.c_str(), errno));
    }
  });
  if (cancelled()) return false;
  // The reader logs its own failure, the import's included.
  if (!reader.restore()) return false;
  act_.size = reader.size();
  act_.set_size = reader.set_size();
  act_.set_storage_size = 0;
  act_.last_run_time = std::time(nullptr);
  return true;
}

}  // namespace oscar
