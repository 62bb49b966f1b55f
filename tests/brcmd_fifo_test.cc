#include "oscar/brcmd_fifo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/support/test_paths.h"
#include "tollix/posix_time_format.h"

namespace {

class BrcmdFifo : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::mkfifo(fifo_.c_str(), 0640)); }
  Temp_Dir dir_;
  std::string fifo_ = dir_ / "f";
};

TEST_F(BrcmdFifo, ReaderOpenEndsWhenTheWriterCannotComeAnyMore) {
  int checks = 0;
  EXPECT_EQ(-1, oscar::open_fifo_for_reading(fifo_, [&]() { return ++checks < 3; }));
  EXPECT_EQ(ECHILD, errno);
  EXPECT_EQ(3, checks);
}

TEST_F(BrcmdFifo, WriterOpenEndsWhenTheReaderCannotComeAnyMore) {
  EXPECT_EQ(-1, oscar::open_fifo_for_writing(fifo_, []() { return false; }));
  EXPECT_EQ(ENXIO, errno);
}

TEST_F(BrcmdFifo, ReaderGetsABlockingEndWithALargePipe) {
  std::thread writer([&]() {
    const int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, ::write(fd, "hello", 5));
    ::close(fd);
  });
  const int fd = oscar::open_fifo_for_reading(fifo_, []() { return true; });
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(oscar::FIFO_PIPE_SIZE, ::fcntl(fd, F_GETPIPE_SZ));
  char buf[16];
  std::string got;
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ("hello", got);
  ::close(fd);
  writer.join();
}

TEST_F(BrcmdFifo, PathReplacedByALinkOrAFileIsRefusedAtBothEnds) {
  // The run's fifo path, replaced by a link to a fifo or by a regular file
  // of someone else's choosing: neither end may be opened through it.
  const std::string link = dir_ / "link";
  ASSERT_EQ(0, ::symlink(fifo_.c_str(), link.c_str()));
  const std::string plain = dir_ / "plain";
  ASSERT_TRUE(write_file(plain, "kept"));
  struct Case {
    std::string path;
    int err;
  };
  for (const Case& c : {Case{link, ELOOP}, Case{plain, EPERM}}) {
    int checks = 0;
    const auto a_few = [&checks]() { return ++checks < 3; };
    EXPECT_EQ(-1, oscar::open_fifo_for_reading(c.path, a_few)) << c.path;
    EXPECT_EQ(c.err, errno) << c.path;
    checks = 0;
    EXPECT_EQ(-1, oscar::open_fifo_for_writing(c.path, a_few)) << c.path;
    EXPECT_EQ(c.err, errno) << c.path;
  }
  EXPECT_EQ("kept", read_file(plain));
}

TEST(FifoName, UniqueWithinOneSecond) {
  const std::string a = oscar::make_fifo_name(1767260000);
  const std::string b = oscar::make_fifo_name(1767260000);
  EXPECT_NE(a, b);
  EXPECT_EQ(0u, a.find(POSIX_Time_Format<16>(1767260000, "%Y%m%d_%H%M%S").c_str()));
  EXPECT_EQ("_fifo", a.substr(a.size() - 5));
}

}  // namespace
