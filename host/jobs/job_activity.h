#ifndef HOST_JOB_ACTIVITY_H
#define HOST_JOB_ACTIVITY_H

#include <atomic>
#include <ctime>
#include <string>

#include "host/jobs/job_types.h"

// The activity record of one job: what the agent shows about its current or
// last run. The job owns it; the run thread, the host's event handler and
// the storage layer's threads write it. `state` and `progress` are atomic
// because other threads read them while a run is in progress (abort,
// progress display); the other fields are written by the run before
// Job::complete() and read after it. Not copyable.
struct Job_Activity {
  std::string id;               // the job definition's id
  unsigned char uid[16] = {0};  // the definition's uid as raw bytes
  std::time_t start_time = 0;   // when the current/last run started
  std::atomic<Job_State> state{JOB_STATE_IDLE};
  std::time_t last_run_time = 0;            // when the last run ended or was skipped
  std::atomic<int> progress{0};             // percent, 0..100
  int code = 0;                             // code of the last failure, 0 for none
  std::string message;                      // text of the last failure
  unsigned long long size = 0;              // bytes read from the source
  unsigned long long set_size = 0;          // bytes of the backup set
  unsigned long long set_storage_size = 0;  // bytes on storage (after compression)

  Job_Activity() = default;
  Job_Activity(const Job_Activity&) = delete;
  Job_Activity& operator=(const Job_Activity&) = delete;
};

#endif
