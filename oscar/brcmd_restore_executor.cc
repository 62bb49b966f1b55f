#include "oscar/brcmd_restore_executor.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <exception>
#include <nlohmann/json.hpp>
#include <vector>

#include "client_io/util.h"
#include "host/base/job_cancel.h"
#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/services/path_conf.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_restore_feed.h"
#include "oscar/brcmd_run.h"
#include "oscar/brcmd_stream.h"
#include "oscar/instance_stop.h"
#include "oscar/job_alerts.h"
#include "oscar/name_check.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/run_guard.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/auto_closer.h"
#include "tollix/posix_time_format.h"
#include "tollix/secure_allocator.h"
#include "tollix/string_sprintf.h"

namespace oscar {

// One backup set to feed, as the catalogue names it, and where it is stored.
struct Restore_Set {
  std::string backup_id;
  std::string pool_uuid;
  std::string uri;
  std::string backup_file;
  std::uint64_t backup_set_size;
  std::uint64_t storage_size;  // 0 when the record does not say
  std::string digest;          // of the stored bytes; empty in records made before digests
  std::string target_uri;
  Client_IO_Base::Options opts;
};

namespace {

// No stored file holds more than this; a larger size is not a size.
const std::uint64_t MAX_STORED_SIZE = std::uint64_t(1) << 62;

// A size of a catalogue row into `size`: a whole number from 0 to
// MAX_STORED_SIZE. Anything else (negative, oversized, not a whole number)
// answers false with `err` saying so, so that the row is refused as
// malformed before the instance is touched.
bool stored_size(const nlohmann::json& value, const char* key, std::uint64_t& size, std::string& err) {
  if (!value.is_number_integer()) {
    err = std::string(key) + " is not a whole number";
    return false;
  }
  if (value.is_number_unsigned() ? value.get<std::uint64_t>() > MAX_STORED_SIZE : value.get<std::int64_t>() < 0) {
    err = std::string(key) + " " + value.dump() + " is out of range";
    return false;
  }
  size = value.get<std::uint64_t>();
  return true;
}

// The texts of a catalogue row that name where its set is stored.
bool row_text(const nlohmann::json& row, const char* key, std::string& value, std::string& err) {
  const auto it = row.find(key);
  if (it == row.end() || !it->is_string()) {
    err = std::string(key) + (it == row.end() ? " is missing" : " is not a text");
    return false;
  }
  value = it->get<std::string>();
  return true;
}

// One catalogue row as the set to feed; false with `err` saying what is
// wrong with it. The folder and file it names become a storage path, so
// both must pass the id check.
bool read_set_row(const nlohmann::json& row, Restore_Set& set, std::string& err) {
  if (!row.is_object()) {
    err = "a row is not an object";
    return false;
  }
  const auto size = row.find("backup_set_size");
  if (size == row.end()) {
    err = "backup_set_size is missing";
    return false;
  }
  if (!stored_size(*size, "backup_set_size", set.backup_set_size, err) ||
      !row_text(row, "pool_uuid", set.pool_uuid, err) || !row_text(row, "uri", set.uri, err) ||
      !row_text(row, "backup_file", set.backup_file, err)) {
    return false;
  }
  set.storage_size = 0;
  const auto storage_size = row.find("backup_set_storage_size");
  if (storage_size != row.end() && !stored_size(*storage_size, "backup_set_storage_size", set.storage_size, err))
    return false;
  if (!row_text(row, "backup_id", set.backup_id, err)) return false;
  for (const std::string* name : {&set.uri, &set.backup_file}) {
    std::string why;
    if (!check_name(*name, why)) {
      err = (name == &set.uri ? "uri \"" : "backup_file \"") + printable_name(*name) + "\": " + why;
      return false;
    }
  }
  // The digest sits with the storage entry; rows made before digests were
  // kept have an entry without one.
  const auto storages = row.find("storages");
  if (storages == row.end() || storages->empty()) return true;
  if (!storages->is_array()) {
    err = "storages is not an array";
    return false;
  }
  Backup_Set_Storage storage;
  if (!Backup_Set_Storage::from_json(storages->at(0), storage, err)) return false;
  set.digest = storage.digest();
  return true;
}

}  // namespace

Oscar_Brcmd_Restore_Executor::Oscar_Brcmd_Restore_Executor(Job& job)
    : Job_Executor_T(job), in_cluster_(!def_.rsrc_form().empty()) {}

Oscar_Brcmd_Restore_Executor::~Oscar_Brcmd_Restore_Executor() {}

bool Oscar_Brcmd_Restore_Executor::is_active(const Action_Options*) {
  instance_ = src_->get_restore_as().database;
  if (!in_cluster_) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(
          instance_.c_str(), def_.id(), def_.uid(), state, def_.subtype() == JOB_DEFINITION_SUBTYPE_IMPORT, false)) {
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

bool Oscar_Brcmd_Restore_Executor::stop_instance() {
  return stop_instance_server(job_, oscar_home_, instance_, stop_by_signals(job_));
}

bool Oscar_Brcmd_Restore_Executor::execute_i(const Action_Options* options) {
  stall_seconds_ = stall_limit_seconds(options);
  const std::unique_ptr<Job_Lock> lock = start_exclusive_run(job_, def_.id(), def_.name(), src_->id());
  if (!lock) return false;
  instance_ = src_->get_restore_as().database;
  if (def_.periodic() && !get_latest_info_from_catalog()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get latest info from catalog\n")));
    return fail_with_alert(job_, ALERT_NO_LATEST_BACKUP);
  }
  std::string user;
  secure_string password;  // The account is only checked.
  const bool loaded = load_instance(job_, instance_, def_.uid(), true, user, password, oscar_home_);
  wipe(password);
  if (!loaded) return false;
  // The account is not put on brcmd's command line; the home's programs
  // run all the same.
  if (!trusted_home(oscar_home_, instance_)) return fail_with_alert(job_, ALERT_UNTRUSTED_HOME);

  Brcmd_Fifo fifo(act_.start_time);
  if (!fifo.create(job_)) return false;
  Client_IO_Base::Options opts;
  opts.compression_method = COMPR_AUTO;
  opts.overwrite = true;
  opts.dedup_chunk_size = 1;
  set_options_by_job_def(opts, &def_, 1);
  set_options_by_host(opts);

  std::vector<Restore_Set> sets;
  std::uint64_t backup_set_size = 0;
  if (!load_sets(sets, backup_set_size)) return false;
  if (!check_sets(sets, opts)) return false;
  Stream_Progress progress(evt_handler_, backup_set_size);
  for (const Restore_Set& set : sets) {
    if (!restore_set(set, fifo.path(), progress)) {
      report_left_stopped();
      return false;
    }
  }
  act_.set_size = backup_set_size;
  act_.size = backup_set_size;
  // Every set is in place: the instance is started even when a cancel
  // came meanwhile, so that a whole restore never leaves it down.
  const Cleanup_Scope cleanup(INSTANCE_START_LIMIT);
  return start_instance(oscar_home_.c_str(), instance_.c_str());
}

// Once the feed has begun, the instance is stopped and its data files are
// partly replaced; it is left so, since starting it on them could damage
// the database further. The operator learns it from one line.
void Oscar_Brcmd_Restore_Executor::report_left_stopped() {
  int pid = 0;
  if (instance_running(oscar_home_.c_str(), instance_.c_str(), pid)) return;
  ACE_ERROR((LM_ERROR,
             ACE_TEXT("%N:%l The instance %C was left stopped with partly restored data files; run the restore again "
                      "to finish it\n"),
             instance_.c_str()));
}

bool Oscar_Brcmd_Restore_Executor::load_sets(std::vector<Restore_Set>& sets, std::uint64_t& total) {
  nlohmann::json query = nlohmann::json::object();
  query["backup_id"] = src_->catalog_id();
  query["order"] = "desc";
  nlohmann::json catalogs;
  Catalog_Operator op(-1, static_cast<int>(def_.max_seconds_retry()));
  if (!op.get_view("oscar_brcmd", "catalog_sequences", query, catalogs) || catalogs.is_null()) return false;
  const auto rows = catalogs.is_object() ? catalogs.find("rows") : catalogs.end();
  std::string err;
  if (rows == catalogs.end() || !rows->is_array()) err = "rows is missing or not an array";
  total = 0;
  for (std::size_t i = 0; err.empty() && rows != catalogs.end() && i < rows->size(); ++i) {
    Restore_Set set;
    if (!read_set_row((*rows)[i], set, err)) break;
    total += set.backup_set_size;  // at most 2^63: each term and the sum before it are bounded
    if (total > MAX_STORED_SIZE) err = "the sets' sizes add up beyond any stored size";
    sets.push_back(set);
  }
  if (!err.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid catalog data, exception: %s\n"), err.c_str()));
    return fail_with_alert(job_, ALERT_CATALOG_DATA);
  }
  if (total == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid backup set size\n")));
    return fail_with_alert(job_, ALERT_BACKUP_INFO);
  }
  return true;
}

// A missing, cut-short or altered file is found here, before the instance
// is touched, so that it fails the job with the database still as it was.
// Each set with a recorded digest is read once and must match it (size,
// digest and, when compressed, every frame checksum); sets recorded without
// one, and all sets when the job's options turn verifying off, are fed
// unchecked after one warning line.
bool Oscar_Brcmd_Restore_Executor::check_sets(std::vector<Restore_Set>& sets, const Client_IO_Base::Options& opts) {
  const bool verify = opts_ == nullptr || opts_->verify();
  if (!verify) {
    ACE_ERROR(
        (LM_WARNING, ACE_TEXT("%N:%l Verifying turned off: the backup sets are not verified before the restore\n")));
  }
  std::string unverified;
  for (Restore_Set& set : sets) {
    Pool_Info info;
    if (!get_pool_info(set.pool_uuid.c_str(), nullptr, info, true, 0, nullptr)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get pool info.\n")));
      return fail_with_alert(job_, ALERT_NO_POOL);
    }
    set.opts = opts;
    if (!set_options_by_pool(set.opts, info)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to set client options.\n")));
      return fail_with_alert(job_, ALERT_STORAGE_OPTIONS);
    }
    set.target_uri = info.url + "/" + set.uri;
    Client_IO_Ex io;
    if (!connect_storage(job_, io, set.target_uri, set.opts)) return false;
    unsigned long long stored = 0;
    if (io.stored_size(set.backup_file.c_str(), stored) != 1) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s\n"), set.backup_file.c_str(), io.error()));
      return fail_with_alert(job_, ALERT_STORAGE_OPEN);
    }
    if (set.storage_size != 0 && stored != set.storage_size) {
      ACE_ERROR(
          (LM_ERROR,
           ACE_TEXT("%N:%l Failed to read backup set %s (file %s): it holds %Q bytes in storage, its record %Q\n"),
           set.backup_id.c_str(), set.backup_file.c_str(), static_cast<ACE_UINT64>(stored),
           static_cast<ACE_UINT64>(set.storage_size)));
      return fail_with_alert(job_, ALERT_STREAM_READ);
    }
    if (!verify) continue;
    if (set.digest.empty()) {
      unverified += (unverified.empty() ? "" : ", ") + set.backup_id + " (file " + set.backup_file + ")";
      continue;
    }
    if (!io.verify(set.backup_file.c_str(), stored, set.digest)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Backup set %s (file %s) does not match its record: %s\n"),
                 set.backup_id.c_str(), set.backup_file.c_str(), io.error()));
      return fail_with_alert(job_, ALERT_STREAM_READ);
    }
  }
  if (!unverified.empty()) {
    ACE_ERROR((LM_WARNING,
               ACE_TEXT("%N:%l Backup sets recorded without a digest: not verified before the restore: %s\n"),
               unverified.c_str()));
  }
  return true;
}

bool Oscar_Brcmd_Restore_Executor::restore_set(const Restore_Set& set, const std::string& fifo,
                                               Stream_Progress& progress) {
  const POSIX_Time_Format<16> timestamp(std::time(nullptr), "%Y%m%d_%H%M%S");
  const Path_Conf log_file(BRCMD_LOG_DIR, "brcmd", true, string_sprintf("restore_%s.log", timestamp.c_str()), 0750);
  const std::string cmd =
      string_sprintf("%s -O restore -d %s -t backup_point_last -k pipe -f %s -e %s",
                     (oscar_home_ + "/bin/brcmd").c_str(), instance_.c_str(), fifo.c_str(), log_file.str().c_str());
  if (!stop_instance()) return false;
  Brcmd_Process brcmd(job_, false, false);
  if (!brcmd.start(oscar_home_, cmd.c_str(), 0)) return false;
  Client_IO_Ex io;
  if (!connect_storage(job_, io, set.target_uri, set.opts)) return false;
  if (!io.open(set.backup_file.c_str(), Client_IO_Ex::MODE_READ, 0, 0)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s\n"), set.backup_file.c_str(), io.error()));
    return fail_with_alert(job_, ALERT_STORAGE_OPEN);
  }
  Auto_Closer<int, Auto_Handle_Trait> fd(open_fifo_for_writing(fifo, brcmd.alive()));
  if (!fd.valid() && job_.cancel_requested()) {
    note_fifo_cancel(fifo);
    return false;
  }
  if (!fd.valid()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open fifo %s, errno=%d, %m\n"), fifo.c_str(), errno));
    return fail_with_alert(job_, ALERT_FIFO);
  }
  if (!feed_backup_set(job_, io, set.backup_file, fd.get(), fifo, progress, set.backup_set_size, stall_seconds_)) {
    // End brcmd before its fifo closes, so it never sees the end of a set
    // that was not fed whole.
    brcmd.terminate();
    return false;
  }
  fd.reset();
  const int status = brcmd.wait_exit();
  if (status == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd did not exit after the end of backup set %s\n"),
               set.backup_file.c_str()));
  } else if (status != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd failed with exit status %d restoring %s\n"), status,
               set.backup_file.c_str()));
  }
  // A brcmd that did not end well after a whole stream has not finished
  // the set: the instance is left stopped and the operator told.
  return status == 0 || fail_with_alert(job_, ALERT_BRCMD_FAILED);
}

}  // namespace oscar
