#include "tollix/fd_wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// A pipe closed at the end of the test, either end closable early.
class FdWait : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::pipe(fds_)); }
  void TearDown() override {
    close_end(0);
    close_end(1);
  }
  void close_end(int i) {
    if (fds_[i] >= 0) ::close(fds_[i]);
    fds_[i] = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(FdWait, PipeNobodyWritesToTimesOutAndOneWithDataIsReady) {
  EXPECT_EQ(Fd_Wait_Result::TIMED_OUT, wait_fd(fds_[0], POLLIN, 300, nullptr, 50));
  EXPECT_EQ(Fd_Wait_Result::TIMED_OUT, wait_fd(fds_[0], POLLIN, 0, nullptr));
  ASSERT_EQ(1, ::write(fds_[1], "x", 1));
  EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[0], POLLIN, 0, nullptr));
  EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[0], POLLIN, 300, nullptr));
}

TEST_F(FdWait, HungUpWriterMakesTheReaderReadySoItSeesTheEnd) {
  close_end(1);
  EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[0], POLLIN, 60000, nullptr));
  char c;
  EXPECT_EQ(0, ::read(fds_[0], &c, 1));
}

TEST_F(FdWait, FullPipeTimesOutForWritingUntilTheReaderTakesSome) {
  EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[1], POLLOUT, 0, nullptr));
  ASSERT_EQ(0, ::fcntl(fds_[1], F_SETFL, O_NONBLOCK));
  char block[4096] = {};
  while (::write(fds_[1], block, sizeof block) > 0) {
  }
  EXPECT_EQ(Fd_Wait_Result::TIMED_OUT, wait_fd(fds_[1], POLLOUT, 200, nullptr, 50));
  char sink[8192];
  ASSERT_EQ(static_cast<ssize_t>(sizeof sink), ::read(fds_[0], sink, sizeof sink));
  EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[1], POLLOUT, 200, nullptr, 50));
}

TEST_F(FdWait, CancelPredicateEndsALongWait) {
  EXPECT_EQ(Fd_Wait_Result::CANCELLED, wait_fd(fds_[0], POLLIN, 600000, []() { return true; }));
  // Asked again before every slice: a cancel that comes during the wait
  // ends it within a slice, long before the limit.
  std::atomic<int> asked(0);
  EXPECT_EQ(Fd_Wait_Result::CANCELLED, wait_fd(
                                           fds_[0], POLLIN, 600000, [&asked]() { return ++asked == 4; }, 20));
  EXPECT_EQ(4, asked.load());
}

TEST_F(FdWait, WriterThatKeepsMovingNeverTripsTheLimit) {
  // Each byte comes well within the limit; the wait for each one is ready.
  std::thread writer([this]() {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (::write(fds_[1], "y", 1) != 1) return;
    }
  });
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Fd_Wait_Result::READY, wait_fd(fds_[0], POLLIN, 30000, nullptr, 10));
    char c;
    EXPECT_EQ(1, ::read(fds_[0], &c, 1));
  }
  writer.join();
}

TEST_F(FdWait, NonblockingScopePutsTheFlagsBackWhenItEnds) {
  {
    Nonblocking_Scope scope(fds_[0]);
    EXPECT_NE(0, ::fcntl(fds_[0], F_GETFL) & O_NONBLOCK);
    char c;
    EXPECT_EQ(-1, ::read(fds_[0], &c, 1));
    EXPECT_EQ(EAGAIN, errno);
  }
  EXPECT_EQ(0, ::fcntl(fds_[0], F_GETFL) & O_NONBLOCK);
  // A descriptor that was non-blocking already stays so.
  ASSERT_EQ(0, ::fcntl(fds_[1], F_SETFL, O_NONBLOCK));
  { Nonblocking_Scope scope(fds_[1]); }
  EXPECT_NE(0, ::fcntl(fds_[1], F_GETFL) & O_NONBLOCK);
}

}  // namespace
