#include "host/jobs/job_source.h"

Job_Source::~Job_Source() {}

Job_Options::~Job_Options() {}
