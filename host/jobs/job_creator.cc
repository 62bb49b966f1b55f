#include "host/jobs/job_creator.h"

Job_Creator::~Job_Creator() {}

int Job_Creator::init(int, char**) { return 0; }

int Job_Creator::fini() { return 0; }
