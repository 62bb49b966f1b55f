#ifndef OSCAR_BACKUP_JOB_OPTIONS_H
#define OSCAR_BACKUP_JOB_OPTIONS_H

#include "host/jobs/job_source.h"
#include "host/storage/compression.h"

namespace oscar {

// The options document of a backup job: how the backup data is compressed
// on storage. Owned by the job definition; executors only read it.
class Backup_Job_Options : public Job_Options {
 public:
  ~Backup_Job_Options() override;

  // Writes {"compression": name (only when not none), "compression_level": n}.
  // Answers 0, or -1 when the generator refused a write.
  int generate(yajl_gen_t* gen) override;

  Compression_Method compression() const { return compression_; }
  void compression(Compression_Method v) { compression_ = v; }
  int compression_level() const { return compression_level_; }
  void compression_level(int v) { compression_level_ = v; }

 private:
  Compression_Method compression_ = COMPR_NONE;
  int compression_level_ = 1;
};

}  // namespace oscar

#endif
