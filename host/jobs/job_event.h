#ifndef HOST_JOB_EVENT_H
#define HOST_JOB_EVENT_H

#include <ctime>
#include <string>

#include "host/jobs/job_types.h"

class Job_Definition;

// One notification from a job to the agent, carried by the
// Job_Event_Manager's queue. Immutable once made; whoever takes it from the
// queue owns it.
class Job_Event {
 public:
  enum Kind { PROGRESS, STATE };

  virtual ~Job_Event();
  Kind kind() const { return kind_; }
  // Id of the job definition the event is about.
  const std::string& definition_id() const { return definition_id_; }
  std::time_t time() const { return time_; }

 protected:
  Job_Event(Kind kind, const Job_Definition& def);

 private:
  Kind kind_;
  std::string definition_id_;
  std::time_t time_;
};

// Progress of a running job: percent done and, when known, the sizes and
// speed behind it (0 when not known).
class Job_Progress_Event : public Job_Event {
 public:
  Job_Progress_Event(const Job_Definition& def, int progress, unsigned long long total, unsigned long long processed,
                     unsigned long long speed, long long last);
  int progress() const { return progress_; }
  unsigned long long total() const { return total_; }
  unsigned long long processed() const { return processed_; }
  unsigned long long speed() const { return speed_; }
  long long last() const { return last_; }

 private:
  int progress_;
  unsigned long long total_;
  unsigned long long processed_;
  unsigned long long speed_;
  long long last_;
};

// A job's state changed to state().
class Job_State_Event : public Job_Event {
 public:
  Job_State_Event(const Job_Definition& def, Job_State state);
  Job_State state() const { return state_; }

 private:
  Job_State state_;
};

#endif
