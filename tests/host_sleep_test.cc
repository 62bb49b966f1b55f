// Process-wide services of the host base: host_sleep and its scale, and
// get_env_r.

#include <ace/OS_NS_sys_time.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "host/base/get_env_r.h"
#include "host/base/sleep.h"
#include "tests/support/sandbox.h"

namespace {

TEST(HostSleep, ScaleShortensWaitsAndZeroSkipsThem) {
  Test_Sandbox sandbox;  // puts back the scale found
  set_host_sleep_scale(0.01);
  ACE_Time_Value start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(3)));
  ACE_Time_Value took = ACE_OS::gettimeofday() - start;
  EXPECT_GE(took.msec(), 25);
  EXPECT_LT(took.msec(), 2000);
  set_host_sleep_scale(0);
  start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(3600)));
  took = ACE_OS::gettimeofday() - start;
  EXPECT_LT(took.msec(), 100);
  set_host_sleep_scale(1.0);
  start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(0, 50000)));
  EXPECT_GE((ACE_OS::gettimeofday() - start).msec(), 49);
}

TEST(GetEnvR, CopiesValuesAndReportsUnsetAndTooSmall) {
  ASSERT_EQ(0, set_env_r("OSCAR_TEST_VAR", "value"));
  char buf[16];
  EXPECT_EQ(5, get_env_r("OSCAR_TEST_VAR", buf, sizeof buf));
  EXPECT_STREQ("value", buf);
  char tiny[5];
  EXPECT_EQ(-1, get_env_r("OSCAR_TEST_VAR", tiny, sizeof tiny));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_STREQ("", tiny);
  std::string out = "old";
  EXPECT_TRUE(get_env_r("OSCAR_TEST_VAR", out));
  EXPECT_EQ("value", out);
  unsetenv("OSCAR_TEST_VAR");
  EXPECT_FALSE(get_env_r("OSCAR_TEST_VAR", out));
  EXPECT_EQ("", out);
  EXPECT_EQ(-1, get_env_r("OSCAR_TEST_VAR", buf, sizeof buf));
}

}  // namespace
