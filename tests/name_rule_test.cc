// The rules for words that reach tool command lines and SQL: database
// object names, and the user names and passwords of database accounts.

#include "oscar/name_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oscar/tool_guard.h"
#include "tests/support/log_capture.h"
#include "tollix/account_rule.h"

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

namespace {

bool account_text_ok(Account_Part part, const std::string& text, std::string& why) {
  return check_account_text(part, text.data(), text.size(), why);
}

TEST(AccountRule, AcceptsWordsAToolCommandLineCarriesWhole) {
  for (const std::string& text : std::vector<std::string>{"sysdba", "App_User$1", "\xc3\xa9t\xc3\xa9", "a-b"}) {
    std::string why = "untouched";
    EXPECT_TRUE(account_text_ok(Account_Part::user, text, why)) << text;
    EXPECT_TRUE(account_text_ok(Account_Part::password, text, why)) << text;
    EXPECT_EQ("untouched", why);
  }
  std::string why;
  EXPECT_TRUE(account_text_ok(Account_Part::password, "pa=ss/word", why)) << why;
}

TEST(AccountRule, RefusesEachCharacterThatSplitsOrAddsAWordSayingWhichWithoutTheText) {
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "is empty"},
      {"Open Sesame1", "holds a blank"},
      {"Se\"cret9", "holds a quote"},
      {"Se'cret9", "holds a quote"},
      {"Se\\cret9", "holds a backslash"},
      {"Se\tcret9", "holds a control character"},
      {"Se\ncret9", "holds a control character"},
      {std::string("Se\0cret9", 8), "holds a control character"},
      {"Se\x7f"
       "cret9",
       "holds a control character"},
      {"-Secret9", "starts with \"-\""},
  };
  for (const auto& c : cases) {
    for (Account_Part part : {Account_Part::user, Account_Part::password}) {
      std::string why;
      EXPECT_FALSE(account_text_ok(part, c.text, why)) << c.why;
      EXPECT_NE(std::string::npos, why.find(c.why)) << why;
      EXPECT_EQ(std::string::npos, why.find("cret9")) << why;
    }
  }
}

TEST(AccountRule, UserNameMayHoldNeitherEqualsNorSlash) {
  std::string why;
  EXPECT_FALSE(account_text_ok(Account_Part::user, "file=x", why));
  EXPECT_NE(std::string::npos, why.find("the user name holds \"=\"")) << why;
  EXPECT_FALSE(account_text_ok(Account_Part::user, "a/b", why));
  EXPECT_NE(std::string::npos, why.find("the user name holds \"/\"")) << why;
}

TEST(AccountRule, ModuleRefusalIsLoggedOnceWithoutThePassword) {
  Log_Capture log;
  EXPECT_TRUE(oscar::valid_account("sysdba", "Se=cret9"));
  EXPECT_TRUE(log.records().empty());
  std::string why;
  EXPECT_FALSE(oscar::valid_account("sysdba", "Open Sesame1", &why));
  ASSERT_EQ(1u, log.records().size());
  EXPECT_EQ(LM_ERROR, log.records()[0].priority);
  EXPECT_NE(std::string::npos, log.all().find("user \"sysdba\" is refused: the password holds a blank")) << log.all();
  EXPECT_NE(std::string::npos, why.find("the password holds a blank")) << why;
  EXPECT_EQ(std::string::npos, log.all().find("Sesame1"));
  EXPECT_FALSE(oscar::valid_account("sysdba", nullptr));
}

}  // namespace
