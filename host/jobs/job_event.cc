#include "host/jobs/job_event.h"

#include "host/jobs/job_definition.h"

Job_Event::Job_Event(Kind kind, const Job_Definition& def)
    : kind_(kind), definition_id_(def.id()), time_(std::time(nullptr)) {}

Job_Event::~Job_Event() {}

Job_Progress_Event::Job_Progress_Event(const Job_Definition& def, int progress, unsigned long long total,
                                       unsigned long long processed, unsigned long long speed, long long last)
    : Job_Event(PROGRESS, def), progress_(progress), total_(total), processed_(processed), speed_(speed), last_(last) {}

Job_State_Event::Job_State_Event(const Job_Definition& def, Job_State state) : Job_Event(STATE, def), state_(state) {}
