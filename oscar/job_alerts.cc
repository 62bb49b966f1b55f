#include "oscar/job_alerts.h"

#include <nlohmann/json.hpp>

#include "host/jobs/job_alert.h"

namespace oscar {

bool fail_with_alert(Job& job, Job_Alert_Code code) {
  write_job_alert(job, ALERT_SEVERITY, code, 0, nlohmann::json());
  return false;
}

}  // namespace oscar
