#ifndef HOST_JOB_SCHEDULE_H
#define HOST_JOB_SCHEDULE_H

// When a job runs. Only the kind of schedule matters to the module: an
// on-demand schedule (TYPE_ONDEMAND) lets the executor prepare and remove
// on-demand resources. Plain value type.
class Job_Schedule {
 public:
  enum Type {
    TYPE_NONE = 0,      // started by the agent's own timer or by hand
    TYPE_ONDEMAND = 7,  // started only on request
  };

  explicit Job_Schedule(Type type = TYPE_NONE) : type_(type) {}
  Type type() const { return type_; }

 private:
  Type type_;
};

#endif
