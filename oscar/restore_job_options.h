#ifndef OSCAR_RESTORE_JOB_OPTIONS_H
#define OSCAR_RESTORE_JOB_OPTIONS_H

#include "host/jobs/job_source.h"

namespace oscar {

// The options document of a restore job. It carries no settings; it exists
// so that every job definition has an options object.
class Restore_Job_Options : public Job_Options {
 public:
  ~Restore_Job_Options() override;

  // Writes an empty object. Answers 0, or -1 when the generator refused it.
  int generate(yajl_gen_t* gen) override;
};

}  // namespace oscar

#endif
