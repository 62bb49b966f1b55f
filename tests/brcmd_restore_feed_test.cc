#include "oscar/brcmd_restore_feed.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_stream.h"
#include "tests/support/backup_stream_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/stream_fixture.h"
#include "tests/support/test_paths.h"

namespace {

// A stored set fed into a pipe, as a restore feeds brcmd.
class BrcmdRestoreFeed : public Stream_Fixture {
 protected:
  // The feed pauses between the backup info and the data it sends; the
  // feeds here skip that pause.
  BrcmdRestoreFeed() : Stream_Fixture(0) {}

  // What the thread at the pipe's other end does.
  enum Reader { READS_ALL, QUITS, STALLS };

  // Stores text as "set", then feeds it into a pipe whose other end is
  // handled by a thread as `reader` says (a stalled reader holds its end
  // open, reading nothing, until the feed returns); answers the feed's
  // result, with what the reader got in `fed_`.
  bool feed(const std::string& text, Reader reader = READS_ALL, std::uint64_t expected_size = 0,
            int stall_seconds = DEFAULT_STALL_TIMEOUT_SECONDS) {
    io_.close();
    EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE)) << io_.error();
    EXPECT_EQ(static_cast<ssize_t>(text.size()), io_.write(text.data(), text.size()));
    EXPECT_TRUE(io_.close());
    EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_READ));
    int fds[2];
    EXPECT_EQ(0, ::pipe(fds));
    if (reader == QUITS) ::close(fds[0]);
    std::thread reading([&]() {
      if (reader != READS_ALL) return;
      char buf[4096];
      ssize_t n;
      while ((n = ::read(fds[0], buf, sizeof buf)) > 0) fed_.append(buf, static_cast<std::size_t>(n));
      ::close(fds[0]);
    });
    Job_Event_Handler events(*job_);
    oscar::Stream_Progress progress(events, 1000);
    const bool ok =
        oscar::feed_backup_set(*job_, io_, "set", fds[1], "the-fifo", progress, expected_size, stall_seconds);
    const int saved = errno;
    ::close(fds[1]);
    reading.join();
    if (reader == STALLS) ::close(fds[0]);
    errno = saved;
    return ok;
  }

  std::string fed_;
};

TEST_F(BrcmdRestoreFeed, FeedsInfoThenTheWholeSetAgain) {
  const std::string info = data_file_ + "=1000\n";
  const std::string text = backup_stream(info, std::string(30000, 'q'));
  ASSERT_TRUE(feed(text));
  EXPECT_EQ(text.substr(0, oscar::BACKUP_INFO_HEAD_SIZE + info.size()) + text, fed_);
}

TEST_F(BrcmdRestoreFeed, SetShorterThanItsRecordFailsBeforeItsEnd) {
  // An uncompressed file cut short reads cleanly to its end; only the size
  // its record gives tells.
  Log_Capture log;
  const std::string text = backup_stream(data_file_ + "=1000\n", std::string(20000, 'q'));
  EXPECT_TRUE(feed(text, READS_ALL, text.size()));
  EXPECT_TRUE(log.all().find("holds") == std::string::npos);
  EXPECT_FALSE(feed(text, READS_ALL, text.size() + 1));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("holds " + std::to_string(text.size()) + " bytes, its record " +
                                              std::to_string(text.size() + 1)));
}

TEST_F(BrcmdRestoreFeed, InfoLargerThanTheBufferIsFedWhole) {
  // Several hundred data files make info data far above the 8192-byte
  // buffer; the backup side accepts it, so the restore must feed it.
  std::string info;
  for (int i = 0; i < 400; ++i) info += data_file_ + "=" + std::to_string(32768 + i) + "\n";
  ASSERT_GT(info.size(), oscar::BRCMD_BUFFER_SIZE);
  std::string data;
  for (int i = 0; i < 30000; ++i) data += static_cast<char>(i * 13);
  const std::string text = backup_stream(info, data);
  ASSERT_TRUE(feed(text));
  EXPECT_EQ(text.substr(0, oscar::BACKUP_INFO_HEAD_SIZE + info.size()) + text, fed_);
  EXPECT_TRUE(job_->alerts().empty());
}

TEST_F(BrcmdRestoreFeed, InfoSizeOutsideWhatTheBackupAcceptsIsRejected) {
  Log_Capture log;
  EXPECT_FALSE(feed(info_head(0x7f000000u) + std::string(9000, 'i')));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info size 2130706432"));
  EXPECT_FALSE(feed(info_head(100) + std::string(9000, 'i')));
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info size 100"));
  EXPECT_TRUE(fed_.empty());
}

TEST_F(BrcmdRestoreFeed, InfoDataCutShortInStorageFailsTheRead) {
  Log_Capture log;
  EXPECT_FALSE(feed(info_head(20000) + std::string(15000, 'i')));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to read backup info data"));
  EXPECT_TRUE(fed_.empty());
}

TEST_F(BrcmdRestoreFeed, ReaderAliveButNotReadingFailsTheFeedAtTheStallLimit) {
  // More than the pipe holds, so the feed must wait for a reader that
  // never reads; each write is bounded, the failure is one line, alert 17.
  Log_Capture log;
  EXPECT_FALSE(feed(backup_stream(data_file_ + "=1000\n", std::string(1 << 20, 'q')), STALLS, 0, 1));
  EXPECT_EQ(17, last_alert());
  ASSERT_EQ(1u, log.records().size()) << log.all();
  EXPECT_NE(std::string::npos, log.all().find("brcmd moved no data through fifo the-fifo for 1 seconds")) << log.all();
}

TEST_F(BrcmdRestoreFeed, CancelledJobLeavesAStalledReaderWithoutAlert) {
  job_->cancel_state()->request();
  Log_Capture log;
  // A limit far beyond the test's own bound: only the cancel ends the wait.
  EXPECT_FALSE(feed(backup_stream(data_file_ + "=1000\n", std::string(1 << 20, 'q')), STALLS, 0, 3600));
  EXPECT_EQ(ECANCELED, errno);
  EXPECT_TRUE(job_->alerts().empty());
  EXPECT_NE(std::string::npos, log.all().find("cancelled while moving data through fifo the-fifo")) << log.all();
}

TEST_F(BrcmdRestoreFeed, ReaderThatWentAwayFailsTheWriteInsteadOfKillingTheProcess) {
  Log_Capture log;
  EXPECT_FALSE(feed(backup_stream(data_file_ + "=10\n", "abc"), QUITS));
  EXPECT_EQ(17, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to write backup info to fifo"));
}

TEST_F(BrcmdRestoreFeed, TruncatedStoredSetFailsTheRead) {
  ASSERT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE));
  ASSERT_EQ(100, io_.write(std::string(100, 'h').data(), 100));
  ASSERT_TRUE(io_.close());
  ASSERT_TRUE(io_.open("set", Client_IO_Ex::MODE_READ));
  Job_Event_Handler events(*job_);
  oscar::Stream_Progress progress(events, 1000);
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  EXPECT_FALSE(oscar::feed_backup_set(*job_, io_, "set", fds[1], "the-fifo", progress));
  EXPECT_EQ(16, last_alert());
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
