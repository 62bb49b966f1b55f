// The module's job alert codes: how they are raised, and that the agent has
// a text of its own for every one of them.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "agent/job_runner.h"
#include "host/jobs/job_definition.h"
#include "oscar/job_alert_codes.h"
#include "oscar/job_alerts.h"
#include "tests/support/plain_job.h"

namespace {

TEST(JobAlertCodes, EveryCodeIsListedOnceInRisingOrderWithATextOfItsOwn) {
  const std::string generic = alert_text(0);
  std::set<std::string> texts;
  int previous = 0;
  for (oscar::Job_Alert_Code code : oscar::ALL_JOB_ALERT_CODES) {
    EXPECT_GT(static_cast<int>(code), previous);
    previous = code;
    const std::string text = alert_text(code);
    EXPECT_NE(generic, text) << code;
    EXPECT_TRUE(texts.insert(text).second) << code << ": " << text;
  }
  EXPECT_EQ(27u, texts.size());
  // Codes the module never raises get the generic text.
  EXPECT_EQ(generic, alert_text(8));
}

TEST(JobAlertCodes, FailWithAlertRaisesTheCodeAtTheModulesSeverityAndAnswersFalse) {
  Job_Definition_var def(new Job_Definition());
  def->id("def-alerts");
  Plain_Job job(def);
  EXPECT_FALSE(oscar::fail_with_alert(job, oscar::ALERT_INSTANCE_STOP));
  EXPECT_FALSE(oscar::fail_with_alert(job, oscar::ALERT_LOG_MODE));
  const std::vector<Job_Alert> alerts = job.alerts();
  ASSERT_EQ(2u, alerts.size());
  EXPECT_EQ(19, alerts[0].code);
  EXPECT_EQ(24, alerts[1].code);
  for (const Job_Alert& a : alerts) {
    EXPECT_EQ(7, a.severity);
    EXPECT_EQ(0, a.arg);
    EXPECT_EQ("null", a.detail);
  }
}

}  // namespace
