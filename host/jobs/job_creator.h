#ifndef HOST_JOB_CREATOR_H
#define HOST_JOB_CREATOR_H

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"

// Base of a module's job factory. init and fini bracket its use (the
// defaults do nothing and answer 0); create turns a definition into a job of
// the module, or answers an empty Job_var for a definition the module does
// not handle. create may be called from any thread.
class Job_Creator {
 public:
  virtual ~Job_Creator();
  virtual int init(int argc, char** argv);
  virtual int fini();
  virtual Job_var create(Job_Definition_var def) = 0;
};

// The destroy function a module's _make_ factory hands back for its creator.
typedef void (*Job_Creator_Exterminator)(void*);

#endif
