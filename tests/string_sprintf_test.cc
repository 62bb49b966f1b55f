// Formatting into text: string_sprintf (growing strings, secure strings
// included), snprintf_t (a fixed buffer that moves to the heap when too
// small) and POSIX_Time_Format.

#include "tollix/string_sprintf.h"

#include <gtest/gtest.h>

#include <ctime>
#include <new>
#include <string>

#include "tollix/posix_time_format.h"
#include "tollix/secure_allocator.h"
#include "tollix/snprintf_t.h"

namespace {

TEST(SnprintfT, ShortTextStaysInline) {
  snprintf_t<32> s("port %d", 5432);
  EXPECT_STREQ("port 5432", s.c_str());
  EXPECT_EQ(9u, s.length());
  EXPECT_EQ(3, s.set("%s", "abc"));
  EXPECT_STREQ("abc", s.c_str());
}

TEST(SnprintfT, LongTextMovesToHeapWhole) {
  const std::string big(5000, 'x');
  snprintf_t<4096> s("<%s>", big.c_str());
  EXPECT_EQ("<" + big + ">", std::string(s.c_str()));
  EXPECT_EQ(5002u, s.length());
  const std::string exact(4095, 'y');
  snprintf_t<4096> e("%s", exact.c_str());
  EXPECT_EQ(exact, std::string(e.c_str()));
  snprintf_t<4096> f("%s", std::string(4096, 'z').c_str());
  EXPECT_EQ(std::string(4096, 'z'), std::string(f.c_str()));
  EXPECT_EQ(2, s.set("%d", 42));
  EXPECT_STREQ("42", s.c_str());
  EXPECT_EQ(10001, s.set("%s", std::string(10001, 'q').c_str()));
  EXPECT_EQ(std::string(10001, 'q'), std::string(s.c_str()));
}

TEST(StringSprintf, GrowsPastInitialRoom) {
  const std::string big(1000, 'a');
  EXPECT_EQ("[" + big + "]", string_sprintf("[%s]", big.c_str()));
  EXPECT_EQ("7-x", string_sprintf("%d-%s", 7, "x"));
  std::string s = "old content";
  EXPECT_EQ(3, string_sprintf(s, "%s", "new"));
  EXPECT_EQ("new", s);
}

TEST(StringSprintf, AppendKeepsExistingText) {
  std::string s = "select";
  EXPECT_EQ(13, string_sprintf_append(s, " %s", "* from"));
  EXPECT_EQ("select * from", s);
  const std::string big(300, 'b');
  string_sprintf_append(s, " %s", big.c_str());
  EXPECT_EQ("select * from " + big, s);
  for (int i = 0; i < 100; ++i) string_sprintf_append(s, "%d", i % 10);
  EXPECT_EQ(14u + 300u + 100u, s.size());
  EXPECT_EQ('9', s.back());
}

TEST(StringSprintf, WorksOnSecureStrings) {
  secure_string s;
  string_sprintf(s, "%s/%s", "user", "pw");
  EXPECT_EQ("user/pw", std::string(s.c_str()));
}

// A short secret lives inside the string object, not on the heap: the
// destructor and wipe() clear it there too, also the bytes an earlier,
// longer content left beyond the current end.
TEST(SecureString, DestructorAndWipeClearTheSmallStringBuffer) {
  const std::string secret = "pw-5ecret";
  auto holds = [&](const unsigned char* raw, std::size_t n, const std::string& part) {
    return std::string(reinterpret_cast<const char*>(raw), n).find(part) != std::string::npos;
  };
  alignas(secure_string) unsigned char raw[sizeof(secure_string)];
  secure_string* s = new (raw) secure_string(secret);
  ASSERT_TRUE(holds(raw, sizeof raw, secret)) << "the secret is expected inside the object";
  s->~secure_string();
  EXPECT_FALSE(holds(raw, sizeof raw, "5ecret"));

  s = new (raw) secure_string(secret);
  s->resize(1);
  ASSERT_TRUE(holds(raw, sizeof raw, "5ecret")) << "a shorter content leaves the old bytes behind it";
  wipe(*s);
  EXPECT_FALSE(holds(raw, sizeof raw, "5ecret"));
  EXPECT_TRUE(s->empty());
  s->~secure_string();
}

TEST(PosixTimeFormat, FormatsUtcAndLocal) {
  const std::time_t t = 86400 * 365 + 3661;  // 1971-01-01 01:01:01 UTC
  POSIX_Time_Format<32, false> utc(t, "%Y-%m-%d %H:%M:%S");
  EXPECT_STREQ("1971-01-01 01:01:01", utc.c_str());
  struct tm tm;
  ASSERT_NE(nullptr, ::localtime_r(&t, &tm));
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y%m%d%H%M%S", &tm);
  POSIX_Time_Format<16, true> local(t, "%Y%m%d%H%M%S");
  EXPECT_STREQ(expected, local.c_str());
}

TEST(PosixTimeFormat, NullFormatOrOverflowGivesEmptyText) {
  POSIX_Time_Format<16, true> none(0, nullptr);
  EXPECT_STREQ("", none.c_str());
  POSIX_Time_Format<16, false> too_long(0, "%Y-%m-%d %H:%M:%S and more");
  EXPECT_STREQ("", too_long.c_str());
}

}  // namespace
