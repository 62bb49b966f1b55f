#ifndef OSCAR_RESTORE_JOB_OPTIONS_H
#define OSCAR_RESTORE_JOB_OPTIONS_H

#include "host/jobs/job_source.h"

namespace oscar {

// The options document of a restore job: {"verify": true|false}, every
// member optional.
class Restore_Job_Options : public Job_Options {
 public:
  ~Restore_Job_Options() override;

  // Whether every stored set is read and checked against its recorded
  // digest before the instance is touched ("verify", default true).
  bool verify() const { return verify_; }
  void verify(bool v) { verify_ = v; }

  // Writes the options as one object; a default value is left out, so the
  // default options are an empty object. Answers 0, or -1 when the
  // generator refused it.
  int generate(yajl_gen_t* gen) override;

 private:
  bool verify_ = true;
};

}  // namespace oscar

#endif
