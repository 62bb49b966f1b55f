#ifndef HOST_BACKUP_SET_H
#define HOST_BACKUP_SET_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Catalogue records of backup sets. Plain values filled by an executor and
// handed to Catalog_Operator::commit; not thread-safe. Each record turns
// into one catalogue row (a JSON object) whose member names are given at
// each field below; rows also carry "pool_uuid" (of the first storage
// entry), "backup_set_storage_size" (sum over the storage entries) and the
// "state" array that commit sets.

// Where (which pool), how much and what exactly of a set is stored. Row: an
// element of "storages", {"pool_uuid", "size"} plus "digest" when one is
// set. size is the stored (compressed) size; digest the stored file's
// XXH3-128 as Client_IO_Ex::stored_digest() gives it, empty in records
// made before digests were kept.
class Backup_Set_Storage {
 public:
  Backup_Set_Storage() {}
  Backup_Set_Storage(const std::string& pool_uuid, unsigned long long size, const std::string& digest = std::string())
      : pool_uuid_(pool_uuid), size_(size), digest_(digest) {}
  const std::string& pool_uuid() const { return pool_uuid_; }
  unsigned long long size() const { return size_; }
  const std::string& digest() const { return digest_; }

  // The element of "storages" for this entry.
  nlohmann::json to_json() const;
  // Reads an element of "storages" of a stored row: "pool_uuid" (text) and
  // "size" (non-negative integer) are required, "digest" is optional but
  // when present must be 32 lowercase hex digits. False (err says which
  // member is wrong, out unchanged) otherwise.
  static bool from_json(const nlohmann::json& element, Backup_Set_Storage& out, std::string& err);

 private:
  std::string pool_uuid_;
  unsigned long long size_ = 0;
  std::string digest_;
};

class Backup_Set {
 public:
  virtual ~Backup_Set() {}

  // The catalogue view the record belongs to ("oscar", "oscar_brcmd").
  virtual const char* view() const = 0;
  // The record kind ("record_type") a record of this class must carry.
  virtual const char* kind() const = 0;

  // Builds the record's row. False, with missing naming the first required
  // member that is empty, when the record is incomplete; row is then
  // unspecified. Required of every record: uuid, definition_uuid,
  // resource_uuid, record_type equal to kind(), backup_start_time, one
  // storage entry with a pool uuid and one piece.
  virtual bool to_row(nlohmann::json& row, std::string& missing) const;

  void uuid(const std::string& v) { uuid_ = v; }                        // "uuid"
  void name(const std::string& v) { name_ = v; }                        // "name"
  void definition_uuid(const std::string& v) { definition_uuid_ = v; }  // "definition_uuid"
  void uid(const std::string& v) { uid_ = v; }                          // "uid"
  void host_uuid(const std::string& v) { host_uuid_ = v; }              // "host_uuid"
  void resource_uuid(const std::string& v) { resource_uuid_ = v; }      // "resource_uuid"
  void type(const std::string& v) { type_ = v; }                        // "record_type": the record kind
  void agent(const std::string& v) { agent_ = v; }                      // "agent"
  void backup_type(const std::string& v) { backup_type_ = v; }          // "type": "full", "export", ...
  void uri(const std::string& v) { uri_ = v; }                          // "uri"
  void host(const std::string& v) { host_ = v; }                        // "host"
  void start_time(std::time_t v) { start_time_ = v; }                   // "backup_start_time", seconds
  void end_time(std::time_t v) { end_time_ = v; }                       // "backup_end_time", seconds
  void backup_set_size(unsigned long long v) { backup_set_size_ = v; }  // "backup_set_size"
  // "minor_resource_id"; writable in place, as compute_minor_resource_id
  // fills it.
  std::string& minor_resource_id() { return minor_resource_id_; }

  const std::string& uuid() const { return uuid_; }
  const std::string& name() const { return name_; }
  const std::string& definition_uuid() const { return definition_uuid_; }
  const std::string& uid() const { return uid_; }
  const std::string& host_uuid() const { return host_uuid_; }
  const std::string& resource_uuid() const { return resource_uuid_; }
  const std::string& type() const { return type_; }
  const std::string& agent() const { return agent_; }
  const std::string& backup_type() const { return backup_type_; }
  const std::string& uri() const { return uri_; }
  const std::string& host() const { return host_; }
  std::time_t start_time() const { return start_time_; }
  std::time_t end_time() const { return end_time_; }
  unsigned long long backup_set_size() const { return backup_set_size_; }
  const std::string& minor_resource_id() const { return minor_resource_id_; }

  // A stored file of the set ("pieces": [{"name", "size"}]).
  void add_piece(const std::string& name, unsigned long long size);
  void add_storage(const Backup_Set_Storage& storage);
  const std::vector<Backup_Set_Storage>& storages() const { return storages_; }

 private:
  std::string uuid_, name_, definition_uuid_, uid_, host_uuid_, resource_uuid_, type_, agent_, backup_type_, uri_,
      host_, minor_resource_id_;
  std::time_t start_time_ = 0;
  std::time_t end_time_ = 0;
  unsigned long long backup_set_size_ = 0;
  std::vector<std::pair<std::string, unsigned long long>> pieces_;
  std::vector<Backup_Set_Storage> storages_;
};

// One dump file of an export set ("backup_files": [{"database", "schema",
// "table", "file"}]).
struct Oscar_Backup_File {
  std::string database;
  std::string schema;
  std::string table;
  std::string file;
};

// An export (logical) backup set: view "oscar", kind "oscar_backup_set".
// Also required: grade and at least one file with database and file set.
class Oscar_Backup_Set : public Backup_Set {
 public:
  static const char* const KIND;
  const char* view() const override { return "oscar"; }
  const char* kind() const override { return KIND; }
  bool to_row(nlohmann::json& row, std::string& missing) const override;

  void backup_set_uuid(const std::string& v) { backup_set_uuid_ = v; }  // "backup_set_uuid"
  void seq(unsigned int v) { seq_ = v; }                                // "seq"
  void dbinstance(const std::string& v) { dbinstance_ = v; }            // "dbinstance"
  void tablespaces(const nlohmann::json& v) { tablespaces_ = v; }       // "tablespaces", array of texts
  // The record's level, "database", "schema" or "table" ("grade").
  void grade(const std::string& v) { grade_ = v; }
  void add_file(const Oscar_Backup_File& f) { files_.push_back(f); }
  void files(const std::vector<Oscar_Backup_File>& v) { files_ = v; }

  const std::string& backup_set_uuid() const { return backup_set_uuid_; }
  unsigned int seq() const { return seq_; }
  const std::string& dbinstance() const { return dbinstance_; }
  const nlohmann::json& tablespaces() const { return tablespaces_; }
  const std::string& grade() const { return grade_; }
  const std::vector<Oscar_Backup_File>& files() const { return files_; }

 private:
  std::string backup_set_uuid_, dbinstance_, grade_;
  unsigned int seq_ = 0;
  nlohmann::json tablespaces_ = nlohmann::json::array();
  std::vector<Oscar_Backup_File> files_;
};

// A physical (brcmd) backup set: view "oscar_brcmd", kind
// "oscar_brcmd_backup_set". Also required: backup type, backup_file,
// backup_id, last_backup_id, last_full_backup_id and full_backup_uuid.
class Oscar_Brcmd_Backup_Set : public Backup_Set {
 public:
  static const char* const KIND;
  const char* view() const override { return "oscar_brcmd"; }
  const char* kind() const override { return KIND; }
  bool to_row(nlohmann::json& row, std::string& missing) const override;

  void backup_file(const std::string& v) { backup_file_ = v; }                    // "backup_file"
  void backup_id(const std::string& v) { backup_id_ = v; }                        // "backup_id"
  void backup_lsn(unsigned long long v) { backup_lsn_ = v; }                      // "backup_lsn"
  void backup_scn(unsigned long long v) { backup_scn_ = v; }                      // "backup_scn"
  void last_backup_id(const std::string& v) { last_backup_id_ = v; }              // "last_backup_id"
  void last_backup_lsn(unsigned long long v) { last_backup_lsn_ = v; }            // "last_backup_lsn"
  void last_backup_scn(unsigned long long v) { last_backup_scn_ = v; }            // "last_backup_scn"
  void last_full_backup_id(const std::string& v) { last_full_backup_id_ = v; }    // "last_full_backup_id"
  void last_full_backup_lsn(unsigned long long v) { last_full_backup_lsn_ = v; }  // "last_full_backup_lsn"
  void last_full_backup_scn(unsigned long long v) { last_full_backup_scn_ = v; }  // "last_full_backup_scn"
  // The uuid of the full backup this set rests on; its own for a full one
  // ("full_backup_uuid").
  void full_backup_uuid(const std::string& v) { full_backup_uuid_ = v; }

  const std::string& backup_file() const { return backup_file_; }
  const std::string& backup_id() const { return backup_id_; }
  unsigned long long backup_lsn() const { return backup_lsn_; }
  unsigned long long backup_scn() const { return backup_scn_; }
  const std::string& last_backup_id() const { return last_backup_id_; }
  unsigned long long last_backup_lsn() const { return last_backup_lsn_; }
  unsigned long long last_backup_scn() const { return last_backup_scn_; }
  const std::string& last_full_backup_id() const { return last_full_backup_id_; }
  unsigned long long last_full_backup_lsn() const { return last_full_backup_lsn_; }
  unsigned long long last_full_backup_scn() const { return last_full_backup_scn_; }
  const std::string& full_backup_uuid() const { return full_backup_uuid_; }

 private:
  std::string backup_file_, backup_id_, last_backup_id_, last_full_backup_id_, full_backup_uuid_;
  unsigned long long backup_lsn_ = 0, backup_scn_ = 0, last_backup_lsn_ = 0, last_backup_scn_ = 0,
                     last_full_backup_lsn_ = 0, last_full_backup_scn_ = 0;
};

#endif
