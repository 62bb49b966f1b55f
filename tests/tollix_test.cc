#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"
#include "tollix/ace_read_trait.h"
#include "tollix/auto_closer.h"
#include "tollix/is_regular_file.h"
#include "tollix/key_value.h"
#include "tollix/natoi.h"
#include "tollix/posix_time_format.h"
#include "tollix/read_each_line.h"
#include "tollix/secure_allocator.h"
#include "tollix/snprintf_t.h"
#include "tollix/string_sprintf.h"

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

TEST(ReadEachLine, HandsEveryLineWithoutDelimiter) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "f", "one\n\nthree\nlast without newline"));
  std::vector<std::string> lines;
  EXPECT_TRUE(read_each_line((tmp / "f").c_str(),
                             [&lines](const std::string& l) {
                               lines.push_back(l);
                               return true;
                             },
                             true));
  EXPECT_EQ((std::vector<std::string>{"one", "", "three", "last without newline"}), lines);
}

TEST(ReadEachLine, StopsAtFirstFalseAndHonoursDelimiter) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "f", "a;b;c;d"));
  std::vector<std::string> lines;
  EXPECT_TRUE(read_each_line((tmp / "f").c_str(),
                             [&lines](const std::string& l) {
                               lines.push_back(l);
                               return l != "b";
                             },
                             true, ';'));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), lines);
}

TEST(ReadEachLine, LongLinesArriveWhole) {
  Temp_Dir tmp;
  const std::string longline(50000, 'L');
  ASSERT_TRUE(write_file(tmp / "f", longline + "\nshort\n"));
  std::vector<std::string> lines;
  EXPECT_TRUE(read_each_line((tmp / "f").c_str(),
                             [&lines](const std::string& l) {
                               lines.push_back(l);
                               return true;
                             },
                             false));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(longline, lines[0]);
}

TEST(ReadEachLine, MissingFileLogsOnlyWhenAsked) {
  Temp_Dir tmp;
  const std::string missing = tmp / "missing";
  auto never = [](const std::string&) { return true; };
  {
    Log_Capture cap;
    EXPECT_FALSE(read_each_line(missing.c_str(), never, false));
    EXPECT_TRUE(cap.records().empty());
  }
  Log_Capture cap;
  EXPECT_FALSE(read_each_line(missing.c_str(), never, true));
  ASSERT_EQ(1u, cap.records().size());
  EXPECT_EQ(LM_ERROR, cap.records()[0].priority);
  EXPECT_EQ("Failed to open " + missing + " for reading, errno=2, No such file or directory\n", cap.records()[0].text);
}

TEST(ReadEachLine, ReadErrorOfADirectoryIsLogged) {
  Temp_Dir tmp;
  Log_Capture cap;
  EXPECT_FALSE(read_each_line(
      tmp.path().c_str(), [](const std::string&) { return true; }, true));
  ASSERT_EQ(1u, cap.records().size());
  EXPECT_EQ(0u, cap.records()[0].text.find("Failed to read " + tmp.path() + ", errno=21"));
}

TEST(AceReadTrait, ReadNOnShortPipeReturnsWhatArrived) {
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  Auto_Closer<int, Auto_Handle_Trait> reader(fds[0]);
  std::thread writer([fd = fds[1]] {
    const char data[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(5, ::write(fd, data, 5));
    ::usleep(20000);
    EXPECT_EQ(5, ::write(fd, data + 5, 5));
    ::close(fd);
  });
  char buf[16];
  EXPECT_EQ(10, ace_read_trait::read_n(reader.get(), buf, sizeof buf));
  writer.join();
  EXPECT_EQ(0, std::memcmp(buf, "0123456789", 10));
  EXPECT_EQ(0, ace_read_trait::read_n(reader.get(), buf, sizeof buf));
}

TEST(AceReadTrait, ErrorIsReturnedNegative) {
  char buf[4];
  EXPECT_EQ(-1, ace_read_trait::read_n(-1, buf, sizeof buf));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(-1, ace_read_trait::read(-1, buf, sizeof buf));
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(AutoCloser, ClosesOnScopeEndAndOnReset) {
  int a = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int b = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  {
    Auto_Closer<int, Auto_Handle_Trait> c(a);
    c.reset(a);
    EXPECT_TRUE(is_open(a)) << "resetting to the same descriptor keeps it";
    c.reset(b);
    EXPECT_FALSE(is_open(a));
    EXPECT_TRUE(is_open(b));
  }
  EXPECT_FALSE(is_open(b));
  int d = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  Auto_Closer<int, Auto_Handle_Trait> owner(d);
  EXPECT_EQ(d, owner.release());
  EXPECT_FALSE(owner.valid());
  EXPECT_TRUE(is_open(d));
  ::close(d);
}

TEST(IsRegularFile, OnlyRegularFilesCount) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "f", "x"));
  EXPECT_TRUE(is_regular_file((tmp / "f").c_str()));
  EXPECT_FALSE(is_regular_file(tmp.path().c_str()));
  EXPECT_FALSE(is_regular_file((tmp / "missing").c_str()));
  EXPECT_FALSE(is_regular_file("/dev/null"));
  EXPECT_FALSE(is_regular_file(nullptr));
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
