#ifndef OSCAR_BACKUP_JOB_SOURCE_H
#define OSCAR_BACKUP_JOB_SOURCE_H

#include <string>
#include <vector>

#include "host/jobs/job_source.h"

namespace oscar {

// The source document of a backup job: the instance id and name, and the
// entries (oscar/INSTANCE/DATABASE[/SCHEMA[/TABLE]]) to back up, in document
// order. Owned by the job definition; executors only read it.
class Backup_Job_Source : public Job_Source {
 public:
  typedef std::vector<std::string> entry_list_type;

  ~Backup_Job_Source() override;

  // Writes {"id": ..., "name": ... (only when not empty), "entries": [...]
  // (only when there are entries)}. Answers 0, or -1 when the generator
  // refused a write.
  int generate(yajl_gen_t* gen) const override;

  const entry_list_type& entries() const { return entries_; }
  entry_list_type& entries() { return entries_; }

 private:
  entry_list_type entries_;
};

}  // namespace oscar

#endif
