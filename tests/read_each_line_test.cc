// Reading files and descriptors: read_each_line, ace_read_trait, the
// Auto_Closer owner of a descriptor and is_regular_file.

#include "tollix/read_each_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"
#include "tollix/ace_read_trait.h"
#include "tollix/auto_closer.h"
#include "tollix/is_regular_file.h"

namespace {

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

}  // namespace
