#ifndef HOST_JOB_SOURCE_H
#define HOST_JOB_SOURCE_H

#include <string>

struct yajl_gen_t;

// The parsed job-source document of a job definition: what a job works on.
// `id` keys the job mutex of the resource. Owned by the Job_Definition.
class Job_Source {
 public:
  virtual ~Job_Source();
  const std::string& id() const { return id_; }
  const std::string& name() const { return name_; }
  void id(const std::string& v) { id_ = v; }
  void name(const std::string& v) { name_ = v; }

  // Writes the document as one JSON object; answers 0 on success.
  virtual int generate(yajl_gen_t* gen) const = 0;

 private:
  std::string id_;
  std::string name_;
};

// The parsed job-options document of a job definition. Owned by the
// Job_Definition.
class Job_Options {
 public:
  virtual ~Job_Options();
  // Writes the document as one JSON object; answers 0 on success.
  virtual int generate(yajl_gen_t* gen) = 0;
};

// Where a job's data goes (backup) or comes from (restore).
class Job_Target {
 public:
  const std::string& id() const { return id_; }
  const std::string& device_id() const { return device_id_; }
  void id(const std::string& v) { id_ = v; }
  void device_id(const std::string& v) { device_id_ = v; }

 private:
  std::string id_;
  std::string device_id_;
};

#endif
