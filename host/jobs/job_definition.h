#ifndef HOST_JOB_DEFINITION_H
#define HOST_JOB_DEFINITION_H

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <memory>
#include <string>

#include "host/jobs/job_schedule.h"
#include "host/jobs/job_source.h"
#include "host/jobs/job_types.h"
#include "host/storage/rate_control.h"

// A job definition: what a job does, on what, with which scripts and
// limits. It owns its parsed job source and job options; executors borrow
// them for as long as they hold the definition. Built once (by the loader or
// a test) and read-only while jobs use it; reading from several threads is
// safe, changing it while a job runs is not.
class Job_Definition {
 public:
  typedef ACE_Refcounted_Auto_Ptr<Job_Source, ACE_Thread_Mutex> Source_var;
  typedef ACE_Refcounted_Auto_Ptr<Job_Options, ACE_Thread_Mutex> Options_var;

  Job_Definition() = default;
  Job_Definition(const Job_Definition&) = delete;
  Job_Definition& operator=(const Job_Definition&) = delete;

  Job_Definition_Type type() const { return type_; }
  Job_Definition_Subtype subtype() const { return subtype_; }
  // The schedule, or null when the definition has none.
  const Job_Schedule* schedule() const { return schedule_.get(); }
  // The parsed documents, or null when the definition carries none. Valid
  // while the definition lives.
  Job_Source* source() const { return source_.get(); }
  Job_Options* options() const { return options_.get(); }
  const Job_Target& target() const { return target_; }
  const std::string& id() const { return id_; }
  // The definition's uid in text form (a uuid).
  const std::string& uid() const { return uid_; }
  const std::string& host_id() const { return host_id_; }
  const std::string& name() const { return name_; }
  const std::string& agent() const { return agent_; }
  // The cluster resource form; empty for a resource outside a cluster.
  const std::string& rsrc_form() const { return rsrc_form_; }
  // User scripts, run through /bin/sh -c; empty for none.
  const std::string& precondition() const { return precondition_; }
  const std::string& pre_action() const { return pre_action_; }
  const std::string& post_action() const { return post_action_; }
  bool ignore_pre_action_failure() const { return ignore_pre_action_failure_; }
  bool ignore_post_action_failure() const { return ignore_post_action_failure_; }
  bool run_post_action_always() const { return run_post_action_always_; }
  bool periodic() const { return periodic_; }
  // Seconds the storage client keeps retrying a lost connection.
  unsigned int max_seconds_retry() const { return max_seconds_retry_; }
  // Bytes the storage client keeps to resume an interrupted transfer.
  unsigned long long resumption_buffer_size() const { return resumption_buffer_size_; }
  const Rate_Control_Entries& max_rate_limits() const { return max_rate_limits_; }

  void type(Job_Definition_Type v) { type_ = v; }
  void subtype(Job_Definition_Subtype v) { subtype_ = v; }
  void schedule(Job_Schedule::Type v) { schedule_.reset(new Job_Schedule(v)); }
  void source(const Source_var& v) { source_ = v; }
  void options(const Options_var& v) { options_ = v; }
  Job_Target& target() { return target_; }
  void id(const std::string& v) { id_ = v; }
  void uid(const std::string& v) { uid_ = v; }
  void host_id(const std::string& v) { host_id_ = v; }
  void name(const std::string& v) { name_ = v; }
  void agent(const std::string& v) { agent_ = v; }
  void rsrc_form(const std::string& v) { rsrc_form_ = v; }
  void precondition(const std::string& v) { precondition_ = v; }
  void pre_action(const std::string& v) { pre_action_ = v; }
  void post_action(const std::string& v) { post_action_ = v; }
  void ignore_pre_action_failure(bool v) { ignore_pre_action_failure_ = v; }
  void ignore_post_action_failure(bool v) { ignore_post_action_failure_ = v; }
  void run_post_action_always(bool v) { run_post_action_always_ = v; }
  void periodic(bool v) { periodic_ = v; }
  void max_seconds_retry(unsigned int v) { max_seconds_retry_ = v; }
  void resumption_buffer_size(unsigned long long v) { resumption_buffer_size_ = v; }
  void max_rate_limits(const Rate_Control_Entries& v) { max_rate_limits_ = v; }

 private:
  Job_Definition_Type type_ = JOB_DEFINITION_NONE;
  Job_Definition_Subtype subtype_ = JOB_DEFINITION_SUBTYPE_NONE;
  std::unique_ptr<Job_Schedule> schedule_;
  Source_var source_;
  Options_var options_;
  Job_Target target_;
  std::string id_;
  std::string uid_;
  std::string host_id_;
  std::string name_;
  std::string agent_;
  std::string rsrc_form_;
  std::string precondition_;
  std::string pre_action_;
  std::string post_action_;
  bool ignore_pre_action_failure_ = false;
  bool ignore_post_action_failure_ = false;
  bool run_post_action_always_ = false;
  bool periodic_ = false;
  unsigned int max_seconds_retry_ = 0;
  unsigned long long resumption_buffer_size_ = 0;
  Rate_Control_Entries max_rate_limits_;
};

// The host's shared counted reference to a definition.
typedef ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> Job_Definition_var;

#endif
