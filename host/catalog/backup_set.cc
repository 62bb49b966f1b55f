#include "host/catalog/backup_set.h"

const char* const Oscar_Backup_Set::KIND = "oscar_backup_set";
const char* const Oscar_Brcmd_Backup_Set::KIND = "oscar_brcmd_backup_set";

namespace {

// Records the first empty required text in missing; answers whether all
// were present.
bool require(std::initializer_list<std::pair<const char*, const std::string*>> fields, std::string& missing) {
  for (const auto& f : fields) {
    if (f.second->empty()) {
      missing = f.first;
      return false;
    }
  }
  return true;
}

}  // namespace

nlohmann::json Backup_Set_Storage::to_json() const {
  nlohmann::json element = {{"pool_uuid", pool_uuid_}, {"size", size_}};
  if (!digest_.empty()) element["digest"] = digest_;
  return element;
}

bool Backup_Set_Storage::from_json(const nlohmann::json& element, Backup_Set_Storage& out, std::string& err) {
  if (!element.is_object()) {
    err = "a storage entry is not an object";
    return false;
  }
  const auto pool = element.find("pool_uuid");
  if (pool == element.end() || !pool->is_string()) {
    err = "a storage entry has no pool_uuid text";
    return false;
  }
  const auto size = element.find("size");
  if (size == element.end() || !size->is_number_unsigned()) {
    err = "a storage entry has no non-negative integer size";
    return false;
  }
  std::string digest;
  const auto d = element.find("digest");
  if (d != element.end()) {
    bool ok = d->is_string() && d->get_ref<const std::string&>().size() == 32;
    if (ok) {
      digest = d->get<std::string>();
      for (char c : digest) ok = ok && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    if (!ok) {
      err = "a storage entry has a digest that is not 32 lowercase hex digits";
      return false;
    }
  }
  out = Backup_Set_Storage(pool->get<std::string>(), size->get<unsigned long long>(), digest);
  return true;
}

void Backup_Set::add_piece(const std::string& name, unsigned long long size) { pieces_.emplace_back(name, size); }

void Backup_Set::add_storage(const Backup_Set_Storage& storage) { storages_.push_back(storage); }

bool Backup_Set::to_row(nlohmann::json& row, std::string& missing) const {
  if (!require({{"uuid", &uuid_},
                {"definition_uuid", &definition_uuid_},
                {"resource_uuid", &resource_uuid_},
                {"record_type", &type_}},
               missing))
    return false;
  if (type_ != kind()) {
    missing = "record_type " + std::string(kind());
    return false;
  }
  if (start_time_ <= 0) {
    missing = "backup_start_time";
    return false;
  }
  if (storages_.empty() || storages_.front().pool_uuid().empty()) {
    missing = "storages";
    return false;
  }
  if (pieces_.empty() || pieces_.front().first.empty()) {
    missing = "pieces";
    return false;
  }
  nlohmann::json storages = nlohmann::json::array();
  unsigned long long stored = 0;
  for (const Backup_Set_Storage& s : storages_) {
    storages.push_back(s.to_json());
    stored += s.size();
  }
  nlohmann::json pieces = nlohmann::json::array();
  for (const auto& p : pieces_) pieces.push_back({{"name", p.first}, {"size", p.second}});
  row = {{"record_type", type_},
         {"uuid", uuid_},
         {"name", name_},
         {"definition_uuid", definition_uuid_},
         {"uid", uid_},
         {"host_uuid", host_uuid_},
         {"resource_uuid", resource_uuid_},
         {"minor_resource_id", minor_resource_id_},
         {"agent", agent_},
         {"type", backup_type_},
         {"uri", uri_},
         {"host", host_},
         {"backup_start_time", static_cast<long long>(start_time_)},
         {"backup_end_time", static_cast<long long>(end_time_)},
         {"backup_set_size", backup_set_size_},
         {"backup_set_storage_size", stored},
         {"pool_uuid", storages_.front().pool_uuid()},
         {"storages", storages},
         {"pieces", pieces}};
  return true;
}

bool Oscar_Backup_Set::to_row(nlohmann::json& row, std::string& missing) const {
  if (!Backup_Set::to_row(row, missing)) return false;
  if (!require({{"grade", &grade_}}, missing)) return false;
  if (files_.empty()) {
    missing = "backup_files";
    return false;
  }
  nlohmann::json files = nlohmann::json::array();
  for (const Oscar_Backup_File& f : files_) {
    if (!require({{"backup_files.database", &f.database}, {"backup_files.file", &f.file}}, missing)) return false;
    files.push_back({{"database", f.database}, {"schema", f.schema}, {"table", f.table}, {"file", f.file}});
  }
  nlohmann::json spaces = nlohmann::json::array();
  if (tablespaces_.is_array()) {
    for (const auto& t : tablespaces_) {
      if (!t.is_string()) {
        missing = "tablespaces (texts)";
        return false;
      }
      spaces.push_back(t);
    }
  } else if (!tablespaces_.is_null()) {
    missing = "tablespaces (an array)";
    return false;
  }
  row["backup_set_uuid"] = backup_set_uuid_;
  row["seq"] = seq_;
  row["dbinstance"] = dbinstance_;
  row["tablespaces"] = spaces;
  row["grade"] = grade_;
  row["backup_files"] = files;
  return true;
}

bool Oscar_Brcmd_Backup_Set::to_row(nlohmann::json& row, std::string& missing) const {
  if (!Backup_Set::to_row(row, missing)) return false;
  const std::string& btype = backup_type();
  if (!require({{"type", &btype},
                {"backup_file", &backup_file_},
                {"backup_id", &backup_id_},
                {"last_backup_id", &last_backup_id_},
                {"last_full_backup_id", &last_full_backup_id_},
                {"full_backup_uuid", &full_backup_uuid_}},
               missing))
    return false;
  row["backup_file"] = backup_file_;
  row["backup_id"] = backup_id_;
  row["backup_lsn"] = backup_lsn_;
  row["backup_scn"] = backup_scn_;
  row["last_backup_id"] = last_backup_id_;
  row["last_backup_lsn"] = last_backup_lsn_;
  row["last_backup_scn"] = last_backup_scn_;
  row["last_full_backup_id"] = last_full_backup_id_;
  row["last_full_backup_lsn"] = last_full_backup_lsn_;
  row["last_full_backup_scn"] = last_full_backup_scn_;
  row["full_backup_uuid"] = full_backup_uuid_;
  return true;
}
