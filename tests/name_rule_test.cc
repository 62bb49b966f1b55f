// The rule for database object names that reach tool command lines and SQL.

#include "oscar/name_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace {

TEST(ObjectNameRule, AcceptsLettersDigitsAndTheThreeSigns) {
  for (const std::string& name :
       std::vector<std::string>{"APP", "a", "_x", "hr$emp#2", "Emp_01", std::string(128, 'T')}) {
    std::string why = "untouched";
    EXPECT_TRUE(oscar::check_object_name(name, why)) << name;
    EXPECT_EQ("untouched", why);
  }
}

TEST(ObjectNameRule, RefusesEverythingElseSayingWhy) {
  struct Case {
    std::string name;
    const char* why;
  };
  const Case cases[] = {
      {"", "empty"},
      {std::string(129, 'T'), "longer than 128 bytes"},
      {"1APP", "starts with a digit"},
      {"A B", "only letters"},
      {"A;B", "only letters"},
      {"A.B", "only letters"},
      {"A-B", "only letters"},
      {"A'B", "only letters"},
      {"A\"B", "only letters"},
      {"A/B", "only letters"},
      {"A\nB", "only letters"},
      {std::string("A\0B", 3), "only letters"},
      {"\xc3\xa9t\xc3\xa9", "only letters"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(oscar::check_object_name(c.name, why)) << c.name;
    EXPECT_NE(std::string::npos, why.find(c.why)) << c.name << ": " << why;
  }
}

TEST(ObjectNameRule, RefusalIsLoggedOnceNamingTheKindPrintably) {
  Log_Capture log;
  EXPECT_TRUE(oscar::valid_object_name("tablespace", "TS_DATA"));
  EXPECT_TRUE(log.records().empty());
  EXPECT_FALSE(oscar::valid_object_name("tablespace", "TS\nDATA"));
  ASSERT_EQ(1u, log.records().size());
  EXPECT_EQ(LM_ERROR, log.records()[0].priority);
  EXPECT_NE(std::string::npos, log.all().find("Invalid tablespace name \"TS?DATA\": only letters")) << log.all();
}

}  // namespace
