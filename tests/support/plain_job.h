#ifndef TESTS_SUPPORT_PLAIN_JOB_H
#define TESTS_SUPPORT_PLAIN_JOB_H

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"

// A job that does nothing of its own: it only carries a definition, an
// activity, alerts and progress for the module functions under test.
class Plain_Job : public Job {
 public:
  explicit Plain_Job(const Job_Definition_var& def) : Job(def) {}

 protected:
  int start_i(const Action_Options*) override { return 0; }
  int stop_i(const Action_Options*) override { return 0; }
  int resume_i(const Action_Options*) override { return 0; }
  int abort_i(const Action_Options*) override { return 0; }
  int remove_i(int, const Action_Options*) override { return 0; }
  int update_i(const Job_Definition_var&) override { return 0; }
  int rollback_i() override { return 0; }
  void* run_i(const Action_Options*) override { return nullptr; }
};

#endif
