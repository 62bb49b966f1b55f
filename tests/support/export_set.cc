#include "tests/support/export_set.h"

#include <cstdint>

#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/minor_resource_id.h"
#include "host/fileset/mtf.h"
#include "host/fileset/mtf_backup.h"
#include "oscar/action_handlers.h"
#include "oscar/dump_spool.h"
#include "oscar/oscar_catalog.h"
#include "oscar/utils.h"
#include "tollix/posix_time_format.h"

namespace {

// The dump file of one source, named as the export names it.
std::string dump_path(const std::string& dir, const Backup_File& s, const std::string& stamp, unsigned int seq) {
  const std::string tail = "_export_" + stamp + "_" + std::to_string(seq) + ".dump";
  if (s.schema.empty()) return dir + "/" + s.database + tail;
  if (s.table.empty()) return dir + "/" + s.database + "." + s.schema + tail;
  return dir + "/" + s.database + "." + s.schema + "." + s.table + tail;
}

}  // namespace

::testing::AssertionResult make_export_set(const Export_Set_Request& request, Oscar_Backup_Set& record) {
  const std::time_t start = request.start_time != 0 ? request.start_time : std::time(nullptr);
  const std::string run_dir = oscar::dump_spool_path() + "/" + request.definition_id;
  const POSIX_Time_Format<32, false> stamp(start, "%Y-%m-%d-%H-%M-%S");
  Backup_Input input;
  input.oscar_home = request.oscar_home;
  input.instance = request.instance;
  input.username = request.username;
  input.password = request.password.c_str();
  for (Backup_File f : request.sources) {
    const std::string dir = run_dir + "/" + request.instance + "_" + f.database;
    if (mkdir_p(dir) != 0) return ::testing::AssertionFailure() << "cannot create " << dir;
    f.file = dump_path(dir, f, stamp.c_str(), request.seq);
    input.files.push_back(f);
  }

  MTF::Metadata meta;
  MTF_Backup writer(nullptr, meta, ACE_Log_Msg_Callback_var());
  writer.action_handler(oscar::make_action_handler(&input));
  writer.pool_uuid(request.pool_uuid);
  writer.host_uuid(request.host_id);
  writer.minor_resource_id(request.definition_id);
  writer.uuid(request.uuid.empty() ? request.definition_id + "-" + std::to_string(request.seq) : request.uuid);
  writer.seq(request.seq);
  writer.add_source(run_dir);
  const bool stored = writer.backup();
  rm_rf(run_dir);
  if (!stored) return ::testing::AssertionFailure() << "export set not stored: " << writer.error();

  uint16_t port = 0;
  std::vector<std::string> tablespaces;
  if (!get_instance_port(request.oscar_home.c_str(), request.instance.c_str(), port) ||
      !get_user_tablespaces(request.oscar_home.c_str(), request.instance.c_str(), request.username.c_str(),
                            request.password.c_str(), port, tablespaces)) {
    return ::testing::AssertionFailure() << "user tablespaces of " << request.instance << " not read";
  }

  // The writer takes the next free sequence number when the asked one is
  // taken: the set's uuid follows the number it was stored under.
  const std::string uuid =
      request.uuid.empty() ? request.definition_id + "-" + std::to_string(writer.seq()) : request.uuid;
  record = Oscar_Backup_Set();
  record.uuid(uuid);
  record.name("export");
  record.definition_uuid(request.definition_id);
  record.host_uuid(request.host_id);
  record.resource_uuid(request.resource_id);
  record.type(Oscar_Backup_Set::KIND);
  compute_minor_resource_id(request.resource_id, Oscar_Backup_Set::KIND, record.minor_resource_id());
  record.backup_type("export");
  record.backup_set_uuid(uuid);
  record.start_time(start);
  record.end_time(start + 1);
  record.backup_set_size(writer.set_size());
  record.seq(writer.seq());
  record.uri(request.host_id + "/" + request.definition_id);
  record.host("localhost");
  record.dbinstance(request.instance);
  record.tablespaces(nlohmann::json(tablespaces));
  const Backup_File& last = request.sources.back();
  record.grade(!last.table.empty() ? "table" : !last.schema.empty() ? "schema" : "database");
  for (const Backup_File& f : input.files) record.add_file({f.database, f.schema, f.table, f.file});
  record.add_storage(Backup_Set_Storage(request.pool_uuid, writer.set_storage_size()));
  record.add_piece(MTF::mtf_name(request.definition_id, writer.seq(), 0), 0);
  record.add_piece(MTF::cat_name(request.definition_id, writer.seq(), 0), 0);
  Catalog_Operator op;
  if (!op.commit(record)) return ::testing::AssertionFailure() << "record not committed: " << op.error();
  return ::testing::AssertionSuccess();
}
