#ifndef OSCAR_RESTORE_JOB_SOURCE_H
#define OSCAR_RESTORE_JOB_SOURCE_H

#include <string>

#include "host/jobs/job_source.h"

class YAJL_Gen;

namespace oscar {

// The source document of a restore job: which backup to restore (its host,
// definition, pool, catalogue entry and sequence) and, for an export backup,
// what was backed up (original) and the names to restore into (restore_as).
// Owned by the job definition; executors only read it.
class Restore_Job_Source : public Job_Source {
 public:
  // What an export backup holds and the dump file that holds it.
  struct original {
    std::string database;
    std::string schema;
    std::string table;
    std::string backup_file;
  };

  // The names an export backup is restored into.
  struct restore_as {
    std::string database;
    std::string schema;
    std::string table;
  };

  ~Restore_Job_Source() override;

  // Writes "id" and "seq" always, the other texts only when not empty, and
  // "original" and "restore_as" always, as objects holding their non-empty
  // texts. Answers 0, or -1 when the generator refused a write.
  int generate(yajl_gen_t* gen) const override;

  // Write the "original" / "restore_as" member (key and object). Answer
  // false when the generator refused a write.
  bool generate_original(YAJL_Gen& gen) const;
  bool generate_restore_as(YAJL_Gen& gen) const;

  const std::string& backup_host_id() const { return backup_host_id_; }
  void backup_host_id(const std::string& v) { backup_host_id_ = v; }
  const std::string& backup_definition_id() const { return backup_definition_id_; }
  void backup_definition_id(const std::string& v) { backup_definition_id_ = v; }
  const std::string& catalog_id() const { return catalog_id_; }
  void catalog_id(const std::string& v) { catalog_id_ = v; }
  unsigned long long seq() const { return seq_; }
  void seq(unsigned long long v) { seq_ = v; }
  const std::string& pool_uuid() const { return pool_uuid_; }
  void pool_uuid(const std::string& v) { pool_uuid_ = v; }

  const struct original& get_original() const { return original_; }
  struct original& get_original() {
    return original_;
  }
  const struct restore_as& get_restore_as() const { return restore_as_; }
  struct restore_as& get_restore_as() {
    return restore_as_;
  }

 private:
  std::string backup_host_id_;
  std::string backup_definition_id_;
  std::string catalog_id_;
  unsigned long long seq_ = 0;
  std::string pool_uuid_;
  struct original original_;
  struct restore_as restore_as_;
};

}  // namespace oscar

#endif
