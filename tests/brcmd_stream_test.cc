#include "oscar/brcmd_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io_ex.h"
#include "tests/support/backup_stream_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/stream_fixture.h"
#include "tests/support/test_paths.h"

namespace {

// A storage client whose writes fail.
class Failing_Storage : public Client_IO {
 public:
  ssize_t read(char*, std::size_t) override { return -1; }
  ssize_t write(const char*, std::size_t) override { return -1; }
  const char* error() const override { return "disk full"; }
  unsigned long long original_size() const override { return 0; }
  unsigned long long storage_size() const override { return 0; }
};

class BrcmdStream : public Stream_Fixture {
 protected:
  // Copies text through a pipe into the storage file "set"; the alerts
  // and the stored bytes tell the rest.
  bool copy(const std::string& text, Client_IO* io = nullptr) {
    int fds[2];
    EXPECT_EQ(0, ::pipe(fds));
    std::thread writer([&]() {
      std::size_t done = 0;
      while (done < text.size()) {
        const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::close(fds[1]);
    });
    Job_Event_Handler events(*job_);
    if (io == nullptr) {
      io_.close();
      EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE)) << io_.error();
    }
    const bool ok = oscar::copy_backup_stream(*job_, events, fds[0], "the-fifo", io ? *io : io_, bytes_sent_);
    ::close(fds[0]);
    writer.join();
    return ok;
  }

  // Puts text into a pipe whose write end then stays open, moving nothing
  // more, until the copy (with the given stall limit) returns. The text
  // fits in the pipe, so no writer thread is needed.
  bool copy_from_stalled_writer(const std::string& text, int stall_seconds) {
    int fds[2];
    EXPECT_EQ(0, ::pipe(fds));
    EXPECT_LT(text.size(), 65536u);
    EXPECT_EQ(static_cast<ssize_t>(text.size()), ::write(fds[1], text.data(), text.size()));
    Job_Event_Handler events(*job_);
    io_.close();
    EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE)) << io_.error();
    const bool ok = oscar::copy_backup_stream(*job_, events, fds[0], "the-fifo", io_, bytes_sent_, stall_seconds);
    const int saved = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = saved;
    return ok;
  }

  std::uint64_t bytes_sent_ = 0;
};

TEST_F(BrcmdStream, CopiesTheWholeStreamUnchanged) {
  std::string data;
  for (int i = 0; i < 50000; ++i) data += static_cast<char>(i * 7);
  const std::string text = backup_stream(data_file_ + "=100000\nversion=3\n", data);
  ASSERT_TRUE(copy(text));
  ASSERT_TRUE(io_.close());
  EXPECT_EQ(text.size(), bytes_sent_);
  EXPECT_EQ(text, read_file(sandbox_ / "pool/set"));
  EXPECT_TRUE(job_->alerts().empty());
  EXPECT_EQ(50, job_->activity().progress.load());
}

TEST_F(BrcmdStream, ProgressNeverReportsHundredPercent) {
  ASSERT_TRUE(copy(backup_stream(data_file_ + "=100000\n", std::string(200000, 'd'))));
  EXPECT_GE(job_->activity().progress.load(), 90);
  EXPECT_LE(job_->activity().progress.load(), 99);
}

TEST_F(BrcmdStream, StreamEndingAfterInfoDataCompletesWithoutProgress) {
  ASSERT_TRUE(copy(backup_stream(data_file_ + "=1000000\n", "")));
  EXPECT_EQ(0, job_->activity().progress.load());
}

TEST_F(BrcmdStream, HeadOfExactly512IsAnInvalidBackupSetSize) {
  Log_Capture log;
  EXPECT_FALSE(copy(info_head(512) + "data"));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup set size\n"));
}

TEST_F(BrcmdStream, HeadBelow512FailsWithEnomemOneLogLineAndNoAlert) {
  Log_Capture log;
  EXPECT_FALSE(copy(info_head(256) + std::string(1000, 'a')));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_TRUE(job_->alerts().empty());
  ASSERT_EQ(1u, log.records().size()) << log.all();
  EXPECT_EQ(LM_ERROR, log.records()[0].priority);
  EXPECT_NE(std::string::npos,
            log.all().find("Invalid backup info head: it announces 256 bytes, less than its own 512\n"))
      << log.all();
}

TEST_F(BrcmdStream, HeadAnnouncingMoreThan64MiBIsRejectedAsCorrupt) {
  Log_Capture log;
  EXPECT_FALSE(copy(info_head(0x7f000000u) + std::string(1000, 'a')));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info head"));
}

TEST_F(BrcmdStream, ShortHeadOrInfoDataFails) {
  Log_Capture log;
  EXPECT_FALSE(copy(info_head(2000).substr(0, 100)));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to get backup info head"));
  EXPECT_FALSE(copy(info_head(2000) + "short"));
  EXPECT_NE(std::string::npos, log.all().find("Failed to get backup info data"));
}

TEST_F(BrcmdStream, StorageWriteFailureRaisesAlert17) {
  Failing_Storage storage;
  Log_Capture log;
  EXPECT_FALSE(copy(backup_stream(data_file_ + "=10\n", "abc"), &storage));
  EXPECT_EQ(17, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to write backup info head to storage: disk full"));
}

TEST_F(BrcmdStream, WriterAliveButSilentFailsTheCopyAtTheStallLimit) {
  // Silent in the data, in the info data and in the head: each read waits
  // at most the limit, and the failure is one line with alert 16.
  const std::string whole = backup_stream(data_file_ + "=100000\n", std::string(20000, 'd'));
  const std::size_t cuts[] = {whole.size(), oscar::BACKUP_INFO_HEAD_SIZE + 10, 100};
  for (const std::size_t cut : cuts) {
    SCOPED_TRACE(cut);
    const std::size_t alerts_before = job_->alerts().size();
    Log_Capture log;
    EXPECT_FALSE(copy_from_stalled_writer(whole.substr(0, cut), 1));
    EXPECT_EQ(alerts_before + 1, job_->alerts().size());
    EXPECT_EQ(16, last_alert());
    ASSERT_EQ(1u, log.records().size()) << log.all();
    EXPECT_EQ(LM_ERROR, log.records()[0].priority);
    EXPECT_NE(std::string::npos, log.all().find("brcmd moved no data through fifo the-fifo for 1 seconds"))
        << log.all();
    if (cut == whole.size()) {
      // What came before the stall is in storage; removing it is the caller's.
      ASSERT_TRUE(io_.close());
      EXPECT_EQ(whole, read_file(sandbox_ / "pool/set"));
    }
  }
}

TEST_F(BrcmdStream, CancelledJobLeavesASilentWriterWithoutAlert) {
  job_->cancel_state()->request();
  Log_Capture log;
  // A limit far beyond the test's own bound: only the cancel ends the wait.
  EXPECT_FALSE(copy_from_stalled_writer(backup_stream(data_file_ + "=100000\n", "abc"), 3600));
  EXPECT_EQ(ECANCELED, errno);
  EXPECT_TRUE(job_->alerts().empty());
  EXPECT_NE(std::string::npos, log.all().find("cancelled while moving data through fifo the-fifo")) << log.all();
}

TEST_F(BrcmdStream, SlowWriterThatKeepsMovingNeverTripsTheLimit) {
  const std::string text = backup_stream(data_file_ + "=100000\n", std::string(40000, 's'));
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  std::thread writer([&]() {
    // Pieces with pauses between them, each pause well within the limit.
    for (std::size_t at = 0; at < text.size(); at += 5000) {
      const std::size_t n = std::min<std::size_t>(5000, text.size() - at);
      if (::write(fds[1], text.data() + at, n) != static_cast<ssize_t>(n)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::close(fds[1]);
  });
  Job_Event_Handler events(*job_);
  ASSERT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE));
  EXPECT_TRUE(oscar::copy_backup_stream(*job_, events, fds[0], "the-fifo", io_, bytes_sent_, 10));
  writer.join();
  ::close(fds[0]);
  ASSERT_TRUE(io_.close());
  EXPECT_EQ(text, read_file(sandbox_ / "pool/set"));
  EXPECT_TRUE(job_->alerts().empty());
}

TEST_F(BrcmdStream, StallLimitComesFromTheRunOptionOrTheDefault) {
  EXPECT_EQ(DEFAULT_STALL_TIMEOUT_SECONDS, oscar::stall_limit_seconds(nullptr));
  Action_Options options;
  EXPECT_EQ(DEFAULT_STALL_TIMEOUT_SECONDS, oscar::stall_limit_seconds(&options));
  options[RUN_OPTION_STALL_TIMEOUT] = "45";
  EXPECT_EQ(45, oscar::stall_limit_seconds(&options));
  for (const char* bad : {"", "0", "-5", "12x", "abc", "99999999999999"}) {
    options[RUN_OPTION_STALL_TIMEOUT] = bad;
    EXPECT_EQ(DEFAULT_STALL_TIMEOUT_SECONDS, oscar::stall_limit_seconds(&options)) << bad;
  }
}

TEST_F(BrcmdStream, BackupSetSizeCountsOnlyExistingRegularFiles) {
  const std::string dir = sandbox_.path();
  const std::string info =
      data_file_ + "=12x\n" + dir + "=500\n" + dir + "/missing=7\nno equals sign\n" + data_file_ + "=30";
  EXPECT_EQ(42u, oscar::get_backup_set_size(info.data(), info.size()));
  EXPECT_EQ(0u, oscar::get_backup_set_size("", 0));
}

}  // namespace
