// Reading values from text: natoi (numbers with range and end checks) and
// the keyword tables of key_value.

#include "tollix/natoi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>

#include "tollix/key_value.h"

namespace {

template <typename T>
T parse(const std::string& text, const char** end = nullptr) {
  return natoi<T>(text.data(), text.data() + text.size(), end);
}

TEST(Natoi, IntLimitsAndOverflow) {
  errno = 99;
  EXPECT_EQ(INT_MIN, parse<int>("-2147483648"));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(INT_MAX, parse<int>("2147483647"));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(INT_MAX, parse<int>("2147483648"));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(INT_MAX, parse<int>("-2147483649"));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(INT_MAX, parse<int>("99999999999999999999999"));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(-17, parse<int>("-17"));
  EXPECT_EQ(17, parse<int>("+17"));
  EXPECT_EQ(0, parse<int>("-0"));
  EXPECT_EQ(0, errno);
}

TEST(Natoi, UnsignedLimitsAndMinusSign) {
  EXPECT_EQ(65535, parse<unsigned short>("65535"));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(65535, parse<unsigned short>("65536"));
  EXPECT_EQ(ERANGE, errno);
  const std::string minus = "-1";
  const char* end = nullptr;
  EXPECT_EQ(0, parse<unsigned short>(minus, &end));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(minus.data(), end);
  EXPECT_EQ(18446744073709551615ULL, parse<unsigned long long>("18446744073709551615"));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(18446744073709551615ULL, parse<unsigned long long>("18446744073709551616"));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(4294967296UL, parse<unsigned long>("4294967296"));
  EXPECT_EQ(0, errno);
}

TEST(Natoi, EndPointerAndInvalidTexts) {
  const std::string text = "12ab";
  const char* end = nullptr;
  EXPECT_EQ(12, parse<int>(text, &end));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(text.data() + 2, end);

  const std::string plus = "+";
  EXPECT_EQ(0, parse<int>(plus, &end));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_NE(plus.data() + plus.size(), end) << "a text without digits must not look fully consumed";

  EXPECT_EQ(0, parse<int>("", &end));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(0, natoi<int>(nullptr, nullptr, &end));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, end);
  EXPECT_EQ(0, parse<int>(" 5"));
  EXPECT_EQ(EINVAL, errno);
}

TEST(Natoi, TwoArgumentFormParsesOnlyTheRange) {
  const char text[] = "12345";
  EXPECT_EQ(123, natoi<int>(text, 3));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(0, natoi<int>(nullptr, std::size_t{0}));
  EXPECT_EQ(EINVAL, errno);
}

const Key2_Value_T<unsigned int> TABLE[] = {
    {"compression", 11, 1},
    {"compression_level", 17, 2},
    {"id", 2, 4},
    {nullptr, 0, 0},
};

TEST(KeyValue, ExactKeywordMatchesOnly) {
  EXPECT_EQ(2u, get_key_value_entry(TABLE, "compression_level", 17)->value);
  EXPECT_EQ(1u, get_key_value_entry(TABLE, "compression_level", 11)->value) << "the length decides";
  EXPECT_EQ(nullptr, get_key_value_entry(TABLE, "compress", 8)->key) << "a prefix is not a keyword";
  EXPECT_EQ(nullptr, get_key_value_entry(TABLE, "ID", 2)->key) << "case-sensitive";
  EXPECT_EQ(nullptr, get_key_value_entry(TABLE, nullptr, 0)->key);
  EXPECT_EQ(nullptr, get_key_value_entry(TABLE, "", 0)->key);
}

TEST(KeyValue, LookupByValue) {
  EXPECT_STREQ("id", get_key_value_entry(TABLE, 4u)->key);
  EXPECT_EQ(nullptr, get_key_value_entry(TABLE, 8u)->key);
}

}  // namespace
