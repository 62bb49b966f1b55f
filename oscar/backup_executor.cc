#include "oscar/backup_executor.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_sys_time.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "client_io/util.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/minor_resource_id.h"
#include "host/fileset/mtf_backup.h"
#include "host/fileset/mtf_support.h"
#include "host/jobs/job_def_names.h"
#include "host/services/host_manager.h"
#include "host/services/instance_manager.h"
#include "host/services/websocket_options.h"
#include "host/storage/pool_info.h"
#include "oscar/action_handlers.h"
#include "oscar/brcmd_run.h"
#include "oscar/dump_spool.h"
#include "oscar/event_handlers.h"
#include "oscar/job_alerts.h"
#include "oscar/name_rule.h"
#include "oscar/oscar_catalog.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "oscar/run_guard.h"
#include "oscar/scope_exit.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/posix_time_format.h"
#include "tollix/secure_allocator.h"
#include "tollix/snprintf_t.h"

namespace oscar {

namespace {

// The writer's progress sink of one export job, which also stops the
// writer between pieces of work once the job is aborted.
class Export_Event_Handler : public Backup_Event_Handler {
 public:
  Export_Event_Handler(Job& job, const Job_Definition* def, Job_Activity* act)
      : Backup_Event_Handler(def, act), job_(job) {}
  bool canceling() override { return job_.cancel_requested(); }

 private:
  Job& job_;
};

// A new set uuid in the form the catalogue keeps: 32 lower-case hex digits.
std::string new_set_uuid() {
  uuid_t u;
  uuid_generate(u);
  static const char HEX[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : u) {
    text += HEX[c >> 4];
    text += HEX[c & 15];
  }
  return text;
}

// The run directory in the spool the import also checks against. The id
// is joined as it stands: it was checked to be one plain path component.
std::string run_directory(const std::string& definition_id) { return dump_spool_path() + "/" + definition_id; }

std::string sanitized_dir_name(const std::string& instance, const std::string& database) {
  std::string name = instance + "_" + database;
  for (char& c : name) {
    if (c == ' ' || c == ':' || c == '/' || c == '\\') c = '_';
  }
  return name;
}

// Removes a stored set that will not be recorded: a set without a record
// is one nobody can restore or delete.
void remove_stored_set(const Job_Target& tgt, const std::string& host_uuid, const std::string& definition_id,
                       unsigned int seq) {
  Client_IO_Ex io;
  Client_IO_Base::Options opts;
  std::string err;
  if (!MTF::connect_set_directory(io, opts, tgt.id(), tgt.device_id().c_str(), false, host_uuid, definition_id, err)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to remove the unrecorded set %C #%u: %C\n"), definition_id.c_str(), seq,
               err.c_str()));
    return;
  }
  for (const std::string& name : {MTF::mtf_name(definition_id, seq, 0), MTF::cat_name(definition_id, seq, 0)}) {
    if (!io.remove(name.c_str())) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to remove the unrecorded file %C: %C\n"), name.c_str(), io.error()));
    }
  }
}

}  // namespace

Backup_Executor::Backup_Executor(Job& job)
    : Job_Executor_T(job),
      type_(def_.subtype()),
      in_cluster_(!def_.rsrc_form().empty()),
      session_(5, 300),
      request_(3, "/", false) {}

Backup_Executor::~Backup_Executor() {}

bool Backup_Executor::is_active(const Action_Options*) {
  collector_.collect(src_->entries());
  if (collector_.sources_.empty()) {
    fail_with_alert(job_, ALERT_NO_SOURCE);
    ACE_ERROR((LM_ERROR, ACE_TEXT("No oscar database to backup.\n")));
    return false;
  }
  if (!in_cluster_) return true;
  std::string state;
  if (Oscar_Cluster_Node_Manager::instance()->is_selected_node(collector_.sources_.back().servername.c_str(), def_.id(),
                                                               def_.uid(), state, false, true)) {
    return true;
  }
  log_node_not_selected(state, "backup");
  return false;
}

bool Backup_Executor::check_source_names() {
  for (const Backup_Source_Collector::Source& s : collector_.sources_) {
    bool ok = valid_object_name("instance", s.servername) && valid_object_name("database", s.dbname);
    if (ok && !s.schema.empty()) ok = valid_object_name("schema", s.schema);
    if (ok && !s.schema.empty() && !s.table.empty()) ok = valid_object_name("table", s.table);
    if (!ok) return fail_with_alert(job_, ALERT_NO_SOURCE);
  }
  return true;
}

bool Backup_Executor::execute_i(const Action_Options*) {
  // The definition's id names the run directory, which is emptied: an id
  // that is not one plain path component could name (and erase) another.
  const std::unique_ptr<Job_Lock> lock = start_exclusive_run(job_, def_.id(), def_.name(), src_->id());
  if (!lock || !check_run_start()) return false;
  const std::string dump_dir = run_directory(def_.id());
  rm_rf(dump_dir);
  if (!init_session()) return false;
  Scope_Exit remove_dump_dir([&dump_dir]() { rm_rf(dump_dir); });

  act_.code = 0;
  act_.message.clear();
  uuid_ = new_set_uuid();
  const unsigned int seq = last_seq();
  // The input outlives the writer, whose action handler borrows it.
  Backup_Input input;
  input.instance = collector_.sources_.back().servername;
  input.log_msg_callback = job_.log_msg_callback();
  init_destination_files(input.instance, seq, dump_dir, collector_.sources_, input.files);
  if (!load_account(input)) return false;

  Oscar_Metadata metadata;
  if (!init_metadata(input.instance, metadata)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to init oscar metadata\n")));
    return fail_with_alert(job_, ALERT_METADATA);
  }
  std::unique_ptr<Export_Event_Handler> events(new (std::nothrow) Export_Event_Handler(job_, &def_, &act_));
  if (!events) {
    errno = ENOMEM;
    return false;
  }
  MTF_Backup writer(events.get(), metadata, job_.log_msg_callback());
  if (!configure_writer(input, dump_dir, seq, writer)) return false;
  // The writer and the event handler report their own failures; an abort
  // ends the export tool or stops the writer, which then fails here.
  if (!writer.backup()) return false;
  return record_set(input, writer, metadata);
}

bool Backup_Executor::check_run_start() {
  // A catalogue that cannot take the record is found before any tool runs.
  std::string catalog_error;
  if (!Catalog_Operator(-1, static_cast<int>(def_.max_seconds_retry())).check(catalog_error)) {
    return fail_with_alert(job_, ALERT_CATALOG_COMMIT);
  }
  if (collector_.sources_.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("No oscar database to backup.\n")));
    return fail_with_alert(job_, ALERT_NO_SOURCE);
  }
  std::string why;
  if (!prepare_dump_spool(why)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refused the dump spool: %C\n"), why.c_str()));
    return false;
  }
  return check_source_names();
}

bool Backup_Executor::load_account(Backup_Input& input) {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, manager is NULL:\n%?\n")));
    return false;
  }
  if (manager->get_account("oscar", input.instance, def_.uid(), input.username, input.password, nullptr) < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Fail to get oscar login info.\n")));
    return fail_with_alert(job_, ALERT_NO_ACCOUNT);
  }
  if (input.username.empty() || input.password.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("The username or password of oscar is empty.\n")));
    return fail_with_alert(job_, ALERT_EMPTY_ACCOUNT);
  }
  const Instance_ptr registered = manager->find("oscar", input.instance);
  if (!registered || !get_from_instance_options(registered, "oscar_home", input.oscar_home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar_home.\n")));
    return fail_with_alert(job_, ALERT_NO_HOME);
  }
  return check_tool_run(job_, input.username, input.password.c_str(), input.oscar_home, input.instance);
}

bool Backup_Executor::configure_writer(const Backup_Input& input, const std::string& dump_dir, unsigned int seq,
                                       MTF_Backup& writer) {
  Pool_Info pool;
  if (!get_pool_info(tgt_.id().c_str(), tgt_.device_id().c_str(), pool, false, 0, nullptr)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get pool info.\n")));
    return fail_with_alert(job_, ALERT_NO_POOL);
  }
  writer.add_source(dump_dir);
  writer.action_handler(make_action_handler(&input));
  writer.pool_uuid(tgt_.id());
  writer.device_uuid(tgt_.device_id());
  writer.host_uuid(def_.host_id());
  writer.minor_resource_id(def_.id());
  writer.uuid(uuid_);
  writer.seq(seq);
  if (opts_ != nullptr) {
    writer.compression(compression_to_mtf(opts_->compression()));
    writer.compression_level(opts_->compression_level());
  }
  writer.incremental(false);
  set_options_by_job_def(writer.extra_client_io_opts(), &def_, 1);
  set_options_by_host(writer.extra_client_io_opts());
  return true;
}

bool Backup_Executor::record_set(const Backup_Input& input, const MTF_Backup& writer, Oscar_Metadata& metadata) {
  // From here a set is stored: unless it is recorded it is removed again.
  Scope_Exit unrecorded([&]() { remove_stored_set(tgt_, def_.host_id(), def_.id(), writer.seq()); });
  act_.size = writer.size();
  act_.set_size = writer.set_size();
  act_.set_storage_size = writer.set_storage_size();
  metadata.set_backup_set_size(writer.set_size());
  metadata.set_backup_set_storage_size(writer.set_storage_size());
  if (!read_tablespaces(input, metadata)) return false;

  Oscar_Backup_Set bset;
  build_oscar_backup_set(metadata, input.files, bset);
  const Backup_Source_Collector::Source& last = collector_.sources_.back();
  bset.grade(!last.table.empty() ? "table" : !last.schema.empty() ? "schema" : "database");
  // An aborted job records nothing, even when its set got stored.
  if (job_.cancel_requested()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The job was cancelled before its export was recorded\n")));
    return false;
  }
  if (!Catalog_Operator(-1, -1).commit(bset)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write catalog to backupd\n")));
    return fail_with_alert(job_, ALERT_CATALOG_COMMIT);
  }
  unrecorded.dismiss();
  return true;
}

bool Backup_Executor::read_tablespaces(const Backup_Input& input, Oscar_Metadata& metadata) {
  uint16_t port = 0;
  if (!get_instance_port(input.oscar_home.c_str(), input.instance.c_str(), port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get port\n")));
    return fail_with_alert(job_, ALERT_NO_PORT);
  }
  std::vector<std::string> tablespaces;
  if (!get_user_tablespaces(input.oscar_home.c_str(), input.instance.c_str(), input.username.c_str(),
                            input.password.c_str(), port, tablespaces)) {
    return fail_with_alert(job_, ALERT_TABLESPACES);
  }
  metadata.set_tablespaces(nlohmann::json(tablespaces));
  return true;
}

bool Backup_Executor::init_session() {
  WebSocket_Options* options = WebSocket_Options::instance();
  const std::string host = options->host();
  const unsigned short port = options->port();
  session_.reset(HTTP_Session_Factory::create(host, port, options->ssl(), nullptr, 3, nullptr, false, 120, 120, 0, 0));
  if (session_.empty()) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("Failed to create session, host: '%C', port: %d\n"), host.c_str(), static_cast<int>(port)));
    return fail_with_alert(job_, ALERT_NO_SESSION);
  }
  request_.cookie(options->cookie());
  return true;
}

unsigned int Backup_Executor::last_seq() {
  const nlohmann::json query = {{"definition_uuid", def_.id()}, {"sort", "seq"}, {"order", "desc"}, {"limit", 1}};
  nlohmann::json result;
  if (!Catalog_Operator(-1, static_cast<int>(def_.max_seconds_retry())).get_view("oscar", "catalogs", query, result))
    return 0;
  if (!result.is_object()) return 0;
  const auto rows = result.find("rows");
  if (rows == result.end() || !rows->is_array() || rows->empty() || !rows->front().is_object()) return 0;
  const auto seq = rows->front().find("seq");
  if (seq == rows->front().end() || !seq->is_number_unsigned()) return 0;
  return seq->get<unsigned int>();
}

void Backup_Executor::init_destination_files(const std::string& instance, unsigned int seq, const std::string& dump_dir,
                                             const std::vector<Backup_Source_Collector::Source>& sources,
                                             std::vector<Backup_File>& files) {
  const POSIX_Time_Format<32, false> time_text(act_.start_time, "%Y-%m-%d-%H-%M-%S");
  const std::string subtype = job_def_subtype_to_string(type_, nullptr);
  for (const Backup_Source_Collector::Source& s : sources) {
    const std::string dir = dump_dir + "/" + sanitized_dir_name(instance, s.dbname);
    if (mkdir_p(dir, 0700) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create directory %C, errno=%d, %m\n"), dir.c_str(), errno));
    }
    std::string name;
    if (!s.table.empty() && !s.schema.empty()) {
      name = snprintf_t<4096>("/%s.%s.%s_%s_%s_%u.dump", s.dbname.c_str(), s.schema.c_str(), s.table.c_str(),
                              subtype.c_str(), time_text.c_str(), seq)
                 .c_str();
    } else if (!s.schema.empty()) {
      name = snprintf_t<4096>("/%s.%s_%s_%s_%u.dump", s.dbname.c_str(), s.schema.c_str(), subtype.c_str(),
                              time_text.c_str(), seq)
                 .c_str();
    } else {
      name = snprintf_t<4096>("/%s_%s_%s_%u.dump", s.dbname.c_str(), subtype.c_str(), time_text.c_str(), seq).c_str();
    }
    files.push_back(Backup_File{s.dbname, s.schema, s.table, dir + name});
  }
}

bool Backup_Executor::init_metadata(const std::string& instance, Oscar_Metadata& metadata) {
  const std::string subtype = job_def_subtype_to_string(type_, nullptr);
  metadata.set_pool_uuid(tgt_.id());
  metadata.set_host_uuid(def_.host_id());
  metadata.set_definition_uuid(def_.id());
  metadata.set_uuid(uuid_);
  metadata.set_uri(def_.host_id() + "/" + def_.id());
  metadata.set_agent(def_.agent());
  metadata.set_host(Host_Manager::instance()->name());
  metadata.set_name(def_.name());
  metadata.set_type(subtype);
  metadata.set_subtype(subtype);
  metadata.set_start_time(POSIX_Time_Format<32, false>(act_.start_time, "%Y-%m-%dT%H:%M:%SZ").c_str());
  metadata.set_dbinstance(instance);
  metadata.set_resource_uuid(src_->id());
  metadata.set_uid(def_.uid());
  return true;
}

void Backup_Executor::build_oscar_backup_set(const Oscar_Metadata& metadata, const std::vector<Backup_File>& files,
                                             Oscar_Backup_Set& bset) {
  std::string text;
  if (metadata.get_uuid(text)) bset.uuid(text);
  if (metadata.get_name(text)) bset.name(text);
  if (metadata.get_definition_uuid(text)) bset.definition_uuid(text);
  if (metadata.get_uid(text)) bset.uid(text);
  if (metadata.get_host_uuid(text)) bset.host_uuid(text);
  if (metadata.get_resource_uuid(text)) bset.resource_uuid(text);
  bset.type(Oscar_Backup_Set::KIND);
  if (!compute_minor_resource_id(src_->id(), bset.type(), bset.minor_resource_id())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to compute minor resource id for resource '%C' and backup type '%C'\n"),
               src_->id().c_str(), bset.type().c_str()));
  }
  if (metadata.get_agent(text)) bset.agent(text);
  if (metadata.get_type(text)) bset.backup_type(text);
  if (metadata.get_uuid(text)) bset.backup_set_uuid(text);
  bset.start_time(act_.start_time);
  bset.end_time(ACE_OS::gettimeofday().sec());
  unsigned long long size = 0;
  if (metadata.get_backup_set_size(size)) bset.backup_set_size(size);
  unsigned int seq = 0;
  if (metadata.get_seq(seq)) bset.seq(seq);
  if (metadata.get_uri(text)) bset.uri(text);
  if (metadata.get_host(text)) bset.host(text);
  if (metadata.get_dbinstance(text)) bset.dbinstance(text);
  nlohmann::json tablespaces;
  if (metadata.get_tablespaces(tablespaces)) bset.tablespaces(tablespaces);
  for (const Backup_File& f : files) bset.add_file(Oscar_Backup_File{f.database, f.schema, f.table, f.file});
  unsigned long long storage_size = 0;
  metadata.get_backup_set_storage_size(storage_size);
  std::string pool;
  metadata.get_pool_uuid(pool);
  bset.add_storage(Backup_Set_Storage(pool, storage_size));
  std::string definition;
  metadata.get_definition_uuid(definition);
  bset.add_piece(MTF::mtf_name(definition, seq, 0), 0);
  bset.add_piece(MTF::cat_name(definition, seq, 0), 0);
}

}  // namespace oscar
