#ifndef HOST_MTF_H
#define HOST_MTF_H

#include <nlohmann/json.hpp>
#include <string>

#include "host/storage/compression.h"

// Shared pieces of the host's file-set writer (MTF_Backup) and reader
// (MTF_Restore). A file set is stored as two files in the directory
// POOL_URL/HOST_UUID/MINOR_RESOURCE_ID: the data file, a tar stream of the
// stored files (mtf_name), and the catalogue file, a JSON document with the
// set's metadata and its file list (cat_name).
namespace MTF {

// File-set compression, as the writer takes it.
enum Compression { COMPRESSION_NONE = 0, COMPRESSION_ZSTD = 1, COMPRESSION_LZO = 2 };

// "DEFINITION_SEQ_PART.mtf" and "DEFINITION_SEQ_PART.cat".
std::string mtf_name(const std::string& definition_uuid, unsigned int seq, unsigned int part);
std::string cat_name(const std::string& definition_uuid, unsigned int seq, unsigned int part);

// The JSON metadata of a backup set: one value, metadata_, which must be an
// object. The getters answer true when the key is present with the right
// type and copy it out (out unchanged otherwise); the setters create or
// replace the key. Both answer false (logged) when metadata_ is not an
// object. Not thread-safe.
class Metadata {
 public:
  Metadata();
  virtual ~Metadata();

  bool get_uuid(std::string& out) const;
  bool set_uuid(const std::string& v);
  bool get_pool_uuid(std::string& out) const;
  bool set_pool_uuid(const std::string& v);
  bool get_host_uuid(std::string& out) const;
  bool set_host_uuid(const std::string& v);
  bool get_definition_uuid(std::string& out) const;
  bool set_definition_uuid(const std::string& v);
  bool get_resource_uuid(std::string& out) const;
  bool set_resource_uuid(const std::string& v);
  bool get_uri(std::string& out) const;
  bool set_uri(const std::string& v);
  bool get_seq(unsigned int& out) const;
  bool set_seq(unsigned int v);
  // ISO 8601 text.
  bool get_start_time(std::string& out) const;
  bool set_start_time(const std::string& v);
  bool get_name(std::string& out) const;
  bool set_name(const std::string& v);
  bool get_host(std::string& out) const;
  bool set_host(const std::string& v);
  bool get_agent(std::string& out) const;
  bool set_agent(const std::string& v);
  bool get_type(std::string& out) const;
  bool set_type(const std::string& v);
  bool get_subtype(std::string& out) const;
  bool set_subtype(const std::string& v);
  bool get_uid(std::string& out) const;
  bool set_uid(const std::string& v);
  bool get_backup_set_size(unsigned long long& out) const;
  bool set_backup_set_size(unsigned long long v);
  bool get_backup_set_storage_size(unsigned long long& out) const;
  bool set_backup_set_storage_size(unsigned long long v);

  // The whole value, for storing and for derived documents.
  const nlohmann::json& value() const { return metadata_; }
  void value(const nlohmann::json& v) { metadata_ = v; }

 protected:
  bool get_text(const char* key, std::string& out) const;
  bool set_value(const char* key, const nlohmann::json& v);
  bool get_number(const char* key, unsigned long long& out) const;

  nlohmann::json metadata_;
};

// Progress and events of a file-set run, delivered on the thread that runs
// it. The handler must outlive the writer or reader it is given to.
class Event_Handler {
 public:
  enum Progress_Report_Mode { PRM_FILE_SIZE = 0, PRM_FILE_COUNT = 1 };
  enum Event { EVENT_FILE_STORED = 1, EVENT_FILE_RESTORED = 2, EVENT_FILE_SKIPPED = 3 };

  explicit Event_Handler(Progress_Report_Mode mode = PRM_FILE_SIZE) : mode_(mode) {}
  virtual ~Event_Handler() {}

  // One file handled (detail: its path). The default ignores it.
  virtual int notify_event(int event, const char* detail);
  // The run's progress in percent (0 to 100), with the total and the part
  // done so far in bytes (PRM_FILE_SIZE) or files (PRM_FILE_COUNT) and the
  // speed in bytes per second. Called when the percentage changes. The
  // default ignores it.
  virtual int handle_progress(int progress, unsigned long total, unsigned long processed, unsigned long speed);
  // Asked between pieces of work; true stops the run, which then fails.
  virtual bool canceling();

  Progress_Report_Mode mode() const { return mode_; }

 private:
  Progress_Report_Mode mode_;
};

}  // namespace MTF

// The writer's compression for a storage Compression_Method (COMPR_AUTO
// writes zstd).
MTF::Compression compression_to_mtf(int compression_method);

// The storage Compression_Method of a writer's compression.
int mtf_to_compression(MTF::Compression compression);

#endif
