#include "oscar/brcmd_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_restore_feed.h"
#include "tests/support/log_capture.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"
#include "tollix/posix_time_format.h"

namespace {

// A head announcing `total` bytes of head and info data.
std::string head(std::uint32_t total) {
  std::string h(oscar::BACKUP_INFO_HEAD_SIZE, '\x5a');
  h[0] = static_cast<char>(total >> 24);
  h[1] = static_cast<char>(total >> 16);
  h[2] = static_cast<char>(total >> 8);
  h[3] = static_cast<char>(total);
  return h;
}

std::string stream(const std::string& info, const std::string& data) {
  return head(static_cast<std::uint32_t>(oscar::BACKUP_INFO_HEAD_SIZE + info.size())) + info + data;
}

// A storage client whose writes fail.
class Failing_Storage : public Client_IO {
 public:
  ssize_t read(char*, std::size_t) override { return -1; }
  ssize_t write(const char*, std::size_t) override { return -1; }
  const char* error() const override { return "disk full"; }
  unsigned long long original_size() const override { return 0; }
  unsigned long long storage_size() const override { return 0; }
};

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Job_Definition_var def(new Job_Definition());
    def->id("stream-test");
    job_ = Job_var(new Plain_Job(def));
    data_file_ = sandbox_ / "datafile1";
    ASSERT_TRUE(write_file(data_file_, "x"));
    Client_IO_Base::Options opts;
    opts.overwrite = true;
    ASSERT_TRUE(io_.connect("file://" + sandbox_ / "pool", opts));
  }

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

  int last_alert() const {
    const std::vector<Job_Alert> a = job_->alerts();
    return a.empty() ? 0 : a.back().code;
  }

  Test_Sandbox sandbox_;
  Job_var job_;
  std::string data_file_;
  Client_IO_Ex io_;
  std::uint64_t bytes_sent_ = 0;
};

TEST_F(StreamTest, CopiesTheWholeStreamUnchanged) {
  std::string data;
  for (int i = 0; i < 50000; ++i) data += static_cast<char>(i * 7);
  const std::string text = stream(data_file_ + "=100000\nversion=3\n", data);
  ASSERT_TRUE(copy(text));
  ASSERT_TRUE(io_.close());
  EXPECT_EQ(text.size(), bytes_sent_);
  EXPECT_EQ(text, read_file(sandbox_ / "pool/set"));
  EXPECT_TRUE(job_->alerts().empty());
  EXPECT_EQ(50, job_->activity().progress.load());
}

TEST_F(StreamTest, ProgressNeverReportsHundredPercent) {
  ASSERT_TRUE(copy(stream(data_file_ + "=100000\n", std::string(200000, 'd'))));
  EXPECT_GE(job_->activity().progress.load(), 90);
  EXPECT_LE(job_->activity().progress.load(), 99);
}

TEST_F(StreamTest, StreamEndingAfterInfoDataCompletesWithoutProgress) {
  ASSERT_TRUE(copy(stream(data_file_ + "=1000000\n", "")));
  EXPECT_EQ(0, job_->activity().progress.load());
}

TEST_F(StreamTest, HeadOfExactly512IsAnInvalidBackupSetSize) {
  Log_Capture log;
  EXPECT_FALSE(copy(head(512) + "data"));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup set size\n"));
}

TEST_F(StreamTest, HeadBelow512FailsWithEnomemAndNoMessage) {
  Log_Capture log;
  EXPECT_FALSE(copy(head(256) + std::string(1000, 'a')));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_TRUE(job_->alerts().empty());
  EXPECT_TRUE(log.records().empty());
}

TEST_F(StreamTest, HeadAnnouncingMoreThan64MiBIsRejectedAsCorrupt) {
  Log_Capture log;
  EXPECT_FALSE(copy(head(0x7f000000u) + std::string(1000, 'a')));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info head"));
}

TEST_F(StreamTest, ShortHeadOrInfoDataFails) {
  Log_Capture log;
  EXPECT_FALSE(copy(head(2000).substr(0, 100)));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to get backup info head"));
  EXPECT_FALSE(copy(head(2000) + "short"));
  EXPECT_NE(std::string::npos, log.all().find("Failed to get backup info data"));
}

TEST_F(StreamTest, StorageWriteFailureRaisesAlert17) {
  Failing_Storage storage;
  Log_Capture log;
  EXPECT_FALSE(copy(stream(data_file_ + "=10\n", "abc"), &storage));
  EXPECT_EQ(17, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to write backup info head to storage: disk full"));
}

TEST_F(StreamTest, BackupSetSizeCountsOnlyExistingRegularFiles) {
  const std::string dir = sandbox_.path();
  const std::string info =
      data_file_ + "=12x\n" + dir + "=500\n" + dir + "/missing=7\nno equals sign\n" + data_file_ + "=30";
  EXPECT_EQ(42u, oscar::get_backup_set_size(info.data(), info.size()));
  EXPECT_EQ(0u, oscar::get_backup_set_size("", 0));
}

// The restore side: a stored set fed into a pipe.
// The feed pauses between the backup info and the data it sends; the
// feeds here skip that pause.
class FeedTest : public StreamTest {
 protected:
  void SetUp() override {
    sandbox_.sleep_scale(0);
    StreamTest::SetUp();
  }

  // Stores text as "set", then feeds it into a pipe read by a thread;
  // answers the feed's result, with what the reader got in `fed`.
  bool feed(const std::string& text, bool reader_quits = false, std::uint64_t expected_size = 0) {
    io_.close();
    EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE)) << io_.error();
    EXPECT_EQ(static_cast<ssize_t>(text.size()), io_.write(text.data(), text.size()));
    EXPECT_TRUE(io_.close());
    EXPECT_TRUE(io_.open("set", Client_IO_Ex::MODE_READ));
    int fds[2];
    EXPECT_EQ(0, ::pipe(fds));
    if (reader_quits) ::close(fds[0]);
    std::thread reader([&]() {
      if (reader_quits) return;
      char buf[4096];
      ssize_t n;
      while ((n = ::read(fds[0], buf, sizeof buf)) > 0) fed_.append(buf, static_cast<std::size_t>(n));
      ::close(fds[0]);
    });
    Job_Event_Handler events(*job_);
    oscar::Stream_Progress progress(events, 1000);
    const bool ok = oscar::feed_backup_set(*job_, io_, "set", fds[1], progress, expected_size);
    ::close(fds[1]);
    reader.join();
    return ok;
  }
  std::string fed_;
};

TEST_F(FeedTest, FeedsInfoThenTheWholeSetAgain) {
  const std::string info = data_file_ + "=1000\n";
  const std::string text = stream(info, std::string(30000, 'q'));
  ASSERT_TRUE(feed(text));
  EXPECT_EQ(text.substr(0, oscar::BACKUP_INFO_HEAD_SIZE + info.size()) + text, fed_);
}

TEST_F(FeedTest, SetShorterThanItsRecordFailsBeforeItsEnd) {
  // An uncompressed file cut short reads cleanly to its end; only the size
  // its record gives tells.
  Log_Capture log;
  const std::string text = stream(data_file_ + "=1000\n", std::string(20000, 'q'));
  EXPECT_TRUE(feed(text, false, text.size()));
  EXPECT_TRUE(log.all().find("holds") == std::string::npos);
  EXPECT_FALSE(feed(text, false, text.size() + 1));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("holds " + std::to_string(text.size()) + " bytes, its record " +
                                              std::to_string(text.size() + 1)));
}

TEST_F(FeedTest, InfoSizeOutsideTheBufferIsRejected) {
  Log_Capture log;
  EXPECT_FALSE(feed(head(9000) + std::string(9000, 'i')));
  EXPECT_EQ(16, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info size 9000"));
  EXPECT_FALSE(feed(head(100) + std::string(9000, 'i')));
  EXPECT_NE(std::string::npos, log.all().find("Invalid backup info size 100"));
  EXPECT_TRUE(fed_.empty());
}

TEST_F(FeedTest, ReaderThatWentAwayFailsTheWriteInsteadOfKillingTheProcess) {
  Log_Capture log;
  EXPECT_FALSE(feed(stream(data_file_ + "=10\n", "abc"), true));
  EXPECT_EQ(17, last_alert());
  EXPECT_NE(std::string::npos, log.all().find("Failed to write backup info to fifo"));
}

TEST_F(FeedTest, TruncatedStoredSetFailsTheRead) {
  ASSERT_TRUE(io_.open("set", Client_IO_Ex::MODE_WRITE));
  ASSERT_EQ(100, io_.write(std::string(100, 'h').data(), 100));
  ASSERT_TRUE(io_.close());
  ASSERT_TRUE(io_.open("set", Client_IO_Ex::MODE_READ));
  Job_Event_Handler events(*job_);
  oscar::Stream_Progress progress(events, 1000);
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  EXPECT_FALSE(oscar::feed_backup_set(*job_, io_, "set", fds[1], progress));
  EXPECT_EQ(16, last_alert());
  ::close(fds[0]);
  ::close(fds[1]);
}

class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::mkfifo(fifo_.c_str(), 0640)); }
  Temp_Dir dir_;
  std::string fifo_ = dir_ / "f";
};

TEST_F(FifoTest, ReaderOpenEndsWhenTheWriterCannotComeAnyMore) {
  int checks = 0;
  EXPECT_EQ(-1, oscar::open_fifo_for_reading(fifo_, [&]() { return ++checks < 3; }));
  EXPECT_EQ(ECHILD, errno);
  EXPECT_EQ(3, checks);
}

TEST_F(FifoTest, WriterOpenEndsWhenTheReaderCannotComeAnyMore) {
  EXPECT_EQ(-1, oscar::open_fifo_for_writing(fifo_, []() { return false; }));
  EXPECT_EQ(ENXIO, errno);
}

TEST_F(FifoTest, ReaderGetsABlockingEndWithALargePipe) {
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

TEST(FifoName, UniqueWithinOneSecond) {
  const std::string a = oscar::make_fifo_name(1767260000);
  const std::string b = oscar::make_fifo_name(1767260000);
  EXPECT_NE(a, b);
  EXPECT_EQ(0u, a.find(POSIX_Time_Format<16>(1767260000, "%Y%m%d_%H%M%S").c_str()));
  EXPECT_EQ("_fifo", a.substr(a.size() - 5));
}

}  // namespace
