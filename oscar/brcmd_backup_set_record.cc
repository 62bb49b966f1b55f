#include "oscar/brcmd_backup_set_record.h"

#include <ace/Log_Msg.h>

#include <cstdint>
#include <exception>
#include <stdexcept>

#include "host/catalog/minor_resource_id.h"
#include "host/jobs/job.h"
#include "oscar/job_alerts.h"

namespace oscar {

namespace {

std::string text(const nlohmann::json& cat, const char* key) { return cat.at(key).get<std::string>(); }

// A required number; a text or any other type throws, as does a negative
// value, which no size, LSN or SCN can be.
std::uint64_t number(const nlohmann::json& cat, const char* key) {
  const nlohmann::json& v = cat.at(key);
  if (!v.is_number_integer())
    throw nlohmann::json::type_error::create(302, std::string(key) + " is not an integer", &v);
  const std::int64_t n = v.get<std::int64_t>();
  if (n < 0 && !v.is_number_unsigned())
    throw nlohmann::json::type_error::create(302, std::string(key) + " is negative", &v);
  return v.get<std::uint64_t>();
}

// The one storage entry: pool, stored size and, when the map has one, the
// stored file's digest, checked as the catalogue reads it back.
Backup_Set_Storage storage_entry(const nlohmann::json& cat) {
  nlohmann::json element = {{"pool_uuid", text(cat, "pool_uuid")}, {"size", number(cat, "backup_set_storage_size")}};
  const auto digest = cat.find("backup_set_digest");
  if (digest != cat.end()) element["digest"] = *digest;
  Backup_Set_Storage storage;
  std::string err;
  if (!Backup_Set_Storage::from_json(element, storage, err)) throw std::runtime_error(err);
  return storage;
}

}  // namespace

void put_chain_values(nlohmann::json& cat, const Last_Backup_Info& chain) {
  cat["last_full_backup_id"] = chain.last_full_backup_id;
  cat["last_full_backup_lsn"] = chain.last_full_backup_lsn;
  cat["last_full_backup_scn"] = chain.last_full_backup_scn;
  cat["last_backup_id"] = chain.last_backup_id;
  cat["last_backup_lsn"] = chain.last_backup_lsn;
  cat["last_backup_scn"] = chain.last_backup_scn;
}

void put_backup_identity(nlohmann::json& cat, const Last_Backup_Info& after, bool full) {
  cat["backup_id"] = after.last_backup_id;
  cat["uuid"] = after.last_backup_id;
  cat["backup_lsn"] = after.last_backup_lsn;
  cat["backup_scn"] = after.last_backup_scn;
  if (full) {
    cat["last_full_backup_id"] = after.last_backup_id;
    cat["last_backup_id"] = after.last_backup_id;
    cat["last_full_backup_lsn"] = after.last_backup_lsn;
    cat["last_backup_lsn"] = after.last_backup_lsn;
    cat["last_full_backup_scn"] = after.last_backup_scn;
    cat["last_backup_scn"] = after.last_backup_scn;
  }
}

bool build_oscar_brcmd_backup_set(Job& job, const std::string& resource_id, std::time_t start_time,
                                  const nlohmann::json& cat, Oscar_Brcmd_Backup_Set& bset) {
  try {
    bset.uid(text(cat, "uid"));
    bset.definition_uuid(text(cat, "definition_uuid"));
    bset.name(text(cat, "name"));
    bset.agent(text(cat, "agent"));
    bset.host_uuid(text(cat, "host_uuid"));
    bset.resource_uuid(text(cat, "resource_uuid"));
    bset.uri(text(cat, "uri"));
    bset.backup_type(text(cat, "type"));
    bset.backup_file(text(cat, "backup_file"));
    bset.backup_set_size(number(cat, "backup_set_size"));
    bset.uuid(text(cat, "uuid"));
    bset.backup_id(text(cat, "backup_id"));
    bset.backup_lsn(number(cat, "backup_lsn"));
    bset.backup_scn(number(cat, "backup_scn"));
    bset.last_backup_id(text(cat, "last_backup_id"));
    bset.last_backup_lsn(number(cat, "last_backup_lsn"));
    bset.last_backup_scn(number(cat, "last_backup_scn"));
    bset.last_full_backup_id(text(cat, "last_full_backup_id"));
    bset.last_full_backup_lsn(number(cat, "last_full_backup_lsn"));
    bset.last_full_backup_scn(number(cat, "last_full_backup_scn"));
    bset.type(Oscar_Brcmd_Backup_Set::KIND);
    if (!compute_minor_resource_id(resource_id, bset.type(), bset.minor_resource_id())) {
      ACE_ERROR((LM_ERROR,
                 ACE_TEXT("%N:%l Failed to compute minor resource id for resource '%s' and backup type '%s'\n"),
                 resource_id.c_str(), bset.type().c_str()));
    }
    bset.start_time(start_time);
    bset.end_time(std::time(nullptr));
    bset.full_backup_uuid(bset.backup_type() == "full" ? bset.uuid() : text(cat, "last_full_backup_id"));
    bset.add_storage(storage_entry(cat));
    bset.add_piece(bset.backup_file(), 0);
  } catch (const std::exception& e) {
    fail_with_alert(job, ALERT_CATALOG_DATA);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to build oscar brcmd backup set: %s\n"), e.what()));
    return false;
  }
  return true;
}

}  // namespace oscar
