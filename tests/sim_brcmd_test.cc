// The simulator's physical backup tool: streams written into a fifo read by
// the test, restores fed back by the test, the chain state and the faults.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "oscar/brcmd_fifo.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

using Clock = std::chrono::steady_clock;

// Everything written into the fifo until the writer closes it, or until 20 s
// pass. Never blocks on the open: a writer that never comes just gives "".
std::string drain_fifo(const std::string& path) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return data;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  char buf[65536];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) data.append(buf, static_cast<size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  return data;
}

// Feeds a stored set the way the module does: head and info data, then the
// whole set again from its first byte, then end of stream.
bool feed_fifo(const std::string& path, const std::string& set) {
  // A tool that stops reading early gives the feeder EPIPE; SIGPIPE is kept
  // from this thread besides the process-wide SIG_IGN of the fixture.
  oscar::Sigpipe_Guard no_sigpipe;
  int fd = -1;
  for (auto deadline = Clock::now() + std::chrono::seconds(20); fd < 0 && Clock::now() < deadline;) {
    fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (fd < 0 || set.size() < 512) return false;
  ::fcntl(fd, F_SETFL, 0);
  uint32_t total = (uint32_t(uint8_t(set[0])) << 24) | (uint32_t(uint8_t(set[1])) << 16) |
                   (uint32_t(uint8_t(set[2])) << 8) | uint8_t(set[3]);
  bool ok = total <= set.size() && ::write(fd, set.data(), total) == ssize_t(total);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (size_t off = 0; ok && off < set.size();) {
    ssize_t n = ::write(fd, set.data() + off, set.size() - off);
    ok = n > 0;
    off += n > 0 ? size_t(n) : 0;
  }
  ::close(fd);
  return ok;
}

uint32_t announced(const std::string& set) {
  return (uint32_t(uint8_t(set[0])) << 24) | (uint32_t(uint8_t(set[1])) << 16) | (uint32_t(uint8_t(set[2])) << 8) |
         uint8_t(set[3]);
}

class SimBrcmd : public ::testing::Test {
 protected:
  void SetUp() override {
    // A tool that stops reading early must give the feeder EPIPE, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(home_.start());
    fifo_ = tmp_ / "brcmd_fifo";
    ASSERT_EQ(0, ::mkfifo(fifo_.c_str(), 0640));
  }

  // One backup run; out receives the stream the test read from the fifo.
  Run_Result backup(const std::string& type, std::string& out, const std::vector<std::string>& env = {}) {
    auto reader = std::async(std::launch::async, [this] { return drain_fifo(fifo_); });
    std::vector<std::string> e = {"OSCAR_SIM_FIFO_TIMEOUT=10"};
    e.insert(e.end(), env.begin(), env.end());
    Run_Result r =
        home_.tool("brcmd",
                   {"-O", "backup", "-d", "ORCL", "-u", home_.user(), "-p", home_.password(), "-P",
                    std::to_string(home_.port()), "-t", type, "-k", "pipe", "-f", fifo_, "-e", tmp_ / "backup.log"},
                   e);
    // A writer that never opened the fifo leaves the reader waiting: wake it.
    int wake = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (wake >= 0) ::close(wake);
    out = reader.get();
    return r;
  }

  Run_Result restore(const std::string& set, const std::vector<std::string>& env = {}) {
    auto feeder = std::async(std::launch::async, [this, &set] { return feed_fifo(fifo_, set); });
    std::vector<std::string> e = {"OSCAR_SIM_FIFO_TIMEOUT=10"};
    e.insert(e.end(), env.begin(), env.end());
    Run_Result r = home_.tool("brcmd",
                              {"-O", "restore", "-d", "ORCL", "-t", "backup_point_last", "-k", "pipe", "-f", fifo_,
                               "-e", tmp_ / "restore.log"},
                              e);
    finish_feeder(feeder);
    return r;
  }

  // A tool that ended without reading everything leaves the feeder blocked:
  // take over the reading end and discard until the feeder is done.
  template <class Future>
  void finish_feeder(Future& feeder) {
    int drain = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    char buf[65536];
    while (feeder.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      if (drain >= 0 && ::read(drain, buf, sizeof buf) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (drain >= 0) ::close(drain);
  }

  std::string lastlsn() { return read_file(home_.root() + "/agent/lastlsn.dat"); }

  Temp_Dir tmp_;
  Sim_Instance home_{tmp_ / "db", "ORCL"};
  std::string fifo_;
};

TEST_F(SimBrcmd, FullStreamAnnouncesInfoWithEveryDataFileAndRecordsTheChain) {
  std::string set;
  Run_Result r = backup("full", set);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_GT(set.size(), 512u);
  uint32_t total = announced(set);
  ASSERT_GT(total, 512u);
  ASSERT_LE(total, set.size());
  std::istringstream info(set.substr(512, total - 512));
  std::string line;
  uint64_t files = 0, sum = 0;
  while (std::getline(info, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    struct stat st;
    ASSERT_EQ(0, ::stat(line.substr(0, eq).c_str(), &st)) << line;
    EXPECT_EQ(uint64_t(st.st_size), std::stoull(line.substr(eq + 1))) << line;
    ++files;
    sum += uint64_t(st.st_size);
  }
  EXPECT_EQ(6u, files);
  EXPECT_GT(set.size(), sum) << "a full set holds every data file";
  std::string chain = lastlsn();
  for (const char* key : {"ORCL_lastfullbackupid=", "ORCL_lastfullbackuplsn=", "ORCL_lastfullbackupscn=",
                          "ORCL_lastbackupid=", "ORCL_lastbackuplsn=", "ORCL_lastbackupscn="}) {
    EXPECT_NE(std::string::npos, chain.find(key)) << chain;
  }
  EXPECT_EQ(std::string::npos, read_file(tmp_ / "backup.log").find(home_.password()));
}

TEST_F(SimBrcmd, IncrementalAndDifferentialCarryChangesAndRestoreByteForByte) {
  std::string full, incr, diff;
  ASSERT_EQ(0, backup("full", full).status);
  std::string chain_full = lastlsn();
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("incr", incr).status);
  std::string after_incr = home_.checksum();
  std::string chain_incr = lastlsn();
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, backup("diff", diff).status);
  std::string after_diff = home_.checksum();
  EXPECT_LT(incr.size(), full.size() / 4);
  EXPECT_GT(diff.size(), incr.size()) << "a differential holds all changes since the full";
  EXPECT_NE(after_incr, after_diff);
  // The last full stays, the last backup moves on.
  auto value = [](const std::string& text, const std::string& key) {
    size_t p = text.find(key);
    return p == std::string::npos ? std::string() : text.substr(p + key.size(), text.find('\n', p) - p - key.size());
  };
  EXPECT_EQ(value(chain_full, "ORCL_lastfullbackupid="), value(chain_incr, "ORCL_lastfullbackupid="));
  EXPECT_NE(value(chain_full, "ORCL_lastbackupid="), value(chain_incr, "ORCL_lastbackupid="));

  Run_Result running = restore(full);
  EXPECT_NE(0, running.status) << "no restore into a running instance";
  ASSERT_EQ(0, home_.admin("stop").status);
  Run_Result early = restore(incr);
  EXPECT_NE(0, early.status) << "an incremental needs its base restored first";
  EXPECT_NE(std::string::npos, early.err.find("brcmd: ERROR, ")) << early.err;
  ASSERT_EQ(0, home_.admin("touch").status);
  Run_Result r = restore(full);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, (r = restore(incr)).status) << r.err;
  EXPECT_EQ(after_incr, home_.checksum());
  ASSERT_EQ(0, restore(full).status);
  ASSERT_EQ(0, (r = restore(diff)).status) << r.err;
  EXPECT_EQ(after_diff, home_.checksum());
  EXPECT_EQ(std::string::npos, lastlsn().find("ORCL_lastbackupid=")) << "a restored instance needs a new full";
}

TEST_F(SimBrcmd, RefusesIncrementalWithoutBaseWrongAccountAndUnarchivedRunningInstance) {
  std::string set;
  Run_Result r = backup("incr", set);
  EXPECT_NE(0, r.status);
  EXPECT_TRUE(set.empty());
  ASSERT_EQ(0, home_.admin("set", {"account.password=other"}).status);
  EXPECT_NE(0, backup("full", set).status);
  ASSERT_EQ(0, home_.admin("set", {"account.password=" + home_.password(), "archive_mode=NOARCHIVELOG"}).status);
  r = backup("full", set);
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("shut it down")) << r.err;
  ASSERT_EQ(0, home_.admin("stop").status);
  EXPECT_EQ(0, backup("full", set).status);
}

TEST_F(SimBrcmd, FaultsBreakTheStreamAsAsked) {
  std::string set;
  Run_Result r = backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=no-open"});
  EXPECT_NE(0, r.status);
  EXPECT_TRUE(set.empty());

  r = backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=die-after=1000"});
  EXPECT_EQ(9, r.signal);
  EXPECT_EQ(1000u, set.size());
  EXPECT_TRUE(lastlsn().empty());

  r = backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=fail-after-stream"});
  EXPECT_NE(0, r.status);
  EXPECT_GT(set.size(), 100000u);
  EXPECT_TRUE(lastlsn().empty()) << "a failed backup leaves the chain alone";

  ASSERT_EQ(0, backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=head-512"}).status);
  EXPECT_EQ(512u, announced(set));
  ASSERT_EQ(0, backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=head-short"}).status);
  EXPECT_LT(announced(set), 512u);
  ASSERT_EQ(0, backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=info-large"}).status);
  EXPECT_GT(announced(set), 8192u + 512u);

  std::string chain = lastlsn();
  ASSERT_EQ(0, backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=no-lastlsn"}).status);
  EXPECT_EQ(chain, lastlsn());

  auto start = Clock::now();
  ASSERT_EQ(0, backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=slow=5"}).status);
  EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(SimBrcmd, RestoreRejectsASetThatDoesNotRepeatItsInfo) {
  std::string set;
  ASSERT_EQ(0, backup("full", set).status);
  ASSERT_EQ(0, home_.admin("stop").status);
  std::string broken = set;
  broken[600] ^= 0x20;  // only the second copy of the info changes
  auto feeder = std::async(std::launch::async, [this, &set, &broken] {
    oscar::Sigpipe_Guard no_sigpipe;
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0; ++i) {
      fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    ssize_t n = ::write(fd, set.data(), announced(set));
    n += ::write(fd, broken.data(), broken.size());
    ::close(fd);
  });
  Run_Result r = home_.tool(
      "brcmd",
      {"-O", "restore", "-d", "ORCL", "-t", "backup_point_last", "-k", "pipe", "-f", fifo_, "-e", tmp_ / "restore.log"},
      {"OSCAR_SIM_FIFO_TIMEOUT=10"});
  finish_feeder(feeder);
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("brcmd: ERROR, ")) << r.err;
}

TEST_F(SimBrcmd, NeverExitingToolIsBoundedByItsHangLimit) {
  std::string set;
  auto start = Clock::now();
  Run_Result r = backup("full", set, {"OSCAR_SIM_BRCMD_FAULT=never-exit", "OSCAR_SIM_HANG_SECONDS=1"});
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(0, r.status);
  EXPECT_GT(set.size(), 100000u) << "the stream itself is complete";
}

}  // namespace
