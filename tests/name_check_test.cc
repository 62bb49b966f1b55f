// The one check every id passes before it becomes a path, a command-line
// word or an SQL name.
#include "oscar/name_check.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/log_capture.h"

namespace {

TEST(NameCheck, AcceptsOrdinaryIds) {
  const std::string good[] = {"res-1",           "5e0f6f4e-8a33-4f57-9d5c-0c7a1d2b3e4f",  "DB1", "a.b", "x",
                              "name_with-.dots", std::string(oscar::MAX_NAME_BYTES, 'a'), "a-"};
  for (const std::string& name : good) {
    std::string why = "untouched";
    EXPECT_TRUE(oscar::check_name(name, why)) << name << ": " << why;
    EXPECT_EQ("untouched", why);
  }
}

TEST(NameCheck, RefusesEachRuleWithItsReason) {
  const struct {
    std::string name;
    const char* reason;
  } bad[] = {
      {"", "it is empty"},
      {std::string(oscar::MAX_NAME_BYTES + 1, 'a'), "it is longer than 255 bytes"},
      {"../../x", "it holds \"/\""},
      {"a/b", "it holds \"/\""},
      {"/abs", "it holds \"/\""},
      {"..", "it holds \"..\""},
      {"a..b", "it holds \"..\""},
      {".hidden", "it starts with \".\""},
      {"-rf", "it starts with \"-\""},
      {std::string("a\0b", 3), "it holds a NUL character"},
  };
  for (const auto& c : bad) {
    std::string why;
    EXPECT_FALSE(oscar::check_name(c.name, why)) << c.name;
    EXPECT_EQ(c.reason, why) << c.name;
  }
}

TEST(NameCheck, JobIdsLogOneLineNamingTheRefusedId) {
  {
    Log_Capture log;
    EXPECT_TRUE(oscar::check_job_ids("def-1", "res-1"));
    EXPECT_EQ("", log.all());
  }
  {
    Log_Capture log;
    EXPECT_FALSE(oscar::check_job_ids("def-1", "../../x"));
    EXPECT_NE(std::string::npos, log.all().find("Invalid job source id \"../../x\": it holds \"/\"")) << log.all();
  }
  {
    Log_Capture log;
    EXPECT_FALSE(oscar::check_job_ids(std::string("bad\nid\0", 7), "res-1"));
    EXPECT_NE(std::string::npos, log.all().find("Invalid job definition id \"bad?id?\"")) << log.all();
    EXPECT_EQ(std::string::npos, log.all().find("job source id")) << "only the first refused id is named";
  }
}

}  // namespace
