#include "oscar/brcmd_backup_set_record.h"

#include <ace/Log_Msg.h>

#include <cstdint>
#include <utility>

#include "host/catalog/minor_resource_id.h"
#include "host/jobs/job.h"
#include "host/services/host_manager.h"
#include "oscar/job_alerts.h"

namespace oscar {

namespace {

// A required text member into `value`; false with `err` naming the key
// when it is missing or not a text.
bool text(const nlohmann::json& cat, const char* key, std::string& value, std::string& err) {
  const auto it = cat.find(key);
  if (it == cat.end()) {
    err = std::string("key '") + key + "' not found";
    return false;
  }
  if (!it->is_string()) {
    err = std::string(key) + " is not a text";
    return false;
  }
  value = it->get<std::string>();
  return true;
}

// A required number into `value`; false with `err` for a text or any
// other type, and for a negative value, which no size, LSN or SCN can be.
bool number(const nlohmann::json& cat, const char* key, std::uint64_t& value, std::string& err) {
  const auto it = cat.find(key);
  if (it == cat.end()) {
    err = std::string("key '") + key + "' not found";
    return false;
  }
  if (!it->is_number_integer()) {
    err = std::string(key) + " is not an integer";
    return false;
  }
  if (!it->is_number_unsigned() && it->get<std::int64_t>() < 0) {
    err = std::string(key) + " is negative";
    return false;
  }
  value = it->get<std::uint64_t>();
  return true;
}

// The one storage entry: pool, stored size and, when the map has one, the
// stored file's digest, checked as the catalogue reads it back. False with
// `err` saying why when the map cannot give it.
bool storage_entry(const nlohmann::json& cat, Backup_Set_Storage& storage, std::string& err) {
  std::string pool;
  std::uint64_t size = 0;
  if (!text(cat, "pool_uuid", pool, err) || !number(cat, "backup_set_storage_size", size, err)) return false;
  nlohmann::json element = {{"pool_uuid", pool}, {"size", size}};
  const auto digest = cat.find("backup_set_digest");
  if (digest != cat.end()) element["digest"] = *digest;
  return Backup_Set_Storage::from_json(element, storage, err);
}

typedef void (Oscar_Brcmd_Backup_Set::*Text_Setter)(const std::string&);
typedef void (Oscar_Brcmd_Backup_Set::*Number_Setter)(unsigned long long);

// The record's texts and numbers, each under its key in the map.
bool read_fields(const nlohmann::json& cat, Oscar_Brcmd_Backup_Set& bset, std::string& err) {
  static const std::pair<const char*, Text_Setter> texts[] = {
      {"uid", &Oscar_Brcmd_Backup_Set::uid},
      {"definition_uuid", &Oscar_Brcmd_Backup_Set::definition_uuid},
      {"name", &Oscar_Brcmd_Backup_Set::name},
      {"agent", &Oscar_Brcmd_Backup_Set::agent},
      {"host_uuid", &Oscar_Brcmd_Backup_Set::host_uuid},
      {"resource_uuid", &Oscar_Brcmd_Backup_Set::resource_uuid},
      {"uri", &Oscar_Brcmd_Backup_Set::uri},
      {"type", &Oscar_Brcmd_Backup_Set::backup_type},
      {"backup_file", &Oscar_Brcmd_Backup_Set::backup_file},
      {"uuid", &Oscar_Brcmd_Backup_Set::uuid},
      {"backup_id", &Oscar_Brcmd_Backup_Set::backup_id},
      {"last_backup_id", &Oscar_Brcmd_Backup_Set::last_backup_id},
      {"last_full_backup_id", &Oscar_Brcmd_Backup_Set::last_full_backup_id},
  };
  static const std::pair<const char*, Number_Setter> numbers[] = {
      {"backup_set_size", &Oscar_Brcmd_Backup_Set::backup_set_size},
      {"backup_lsn", &Oscar_Brcmd_Backup_Set::backup_lsn},
      {"backup_scn", &Oscar_Brcmd_Backup_Set::backup_scn},
      {"last_backup_lsn", &Oscar_Brcmd_Backup_Set::last_backup_lsn},
      {"last_backup_scn", &Oscar_Brcmd_Backup_Set::last_backup_scn},
      {"last_full_backup_lsn", &Oscar_Brcmd_Backup_Set::last_full_backup_lsn},
      {"last_full_backup_scn", &Oscar_Brcmd_Backup_Set::last_full_backup_scn},
  };
  for (const auto& field : texts) {
    std::string value;
    if (!text(cat, field.first, value, err)) return false;
    (bset.*field.second)(value);
  }
  for (const auto& field : numbers) {
    std::uint64_t value = 0;
    if (!number(cat, field.first, value, err)) return false;
    (bset.*field.second)(value);
  }
  return true;
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
  std::string err;
  Backup_Set_Storage storage;
  if (!read_fields(cat, bset, err) || !storage_entry(cat, storage, err)) {
    fail_with_alert(job, ALERT_CATALOG_DATA);
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to build oscar brcmd backup set: %s\n"), err.c_str()));
    return false;
  }
  bset.type(Oscar_Brcmd_Backup_Set::KIND);
  if (!compute_minor_resource_id(resource_id, bset.type(), bset.minor_resource_id())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to compute minor resource id for resource '%s' and backup type '%s'\n"),
               resource_id.c_str(), bset.type().c_str()));
  }
  // The machine that took the set, by name, as logical sets record it.
  bset.host(Host_Manager::instance()->name());
  bset.start_time(start_time);
  bset.end_time(std::time(nullptr));
  bset.full_backup_uuid(bset.backup_type() == "full" ? bset.uuid() : bset.last_full_backup_id());
  bset.add_storage(storage);
  bset.add_piece(bset.backup_file(), 0);
  return true;
}

}  // namespace oscar
