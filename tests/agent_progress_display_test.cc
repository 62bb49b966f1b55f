// The agent's progress display fed with reports and a clock of the test's
// own: the line redrawn in place on a terminal, plain lines elsewhere, and
// the units it shows.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/progress_display.h"

namespace {

const unsigned long long MiB = 1024 * 1024;
const std::string EOL = "\x1b[K";  // clear to the end of the line

Progress_Sample sample(unsigned long long done, unsigned long long total, int percent = 0) {
  Progress_Sample s;
  s.done = done;
  s.total = total;
  s.percent = percent;
  return s;
}

// A display writing into memory, its clock set by the test.
class Display : public ::testing::Test {
 protected:
  void make(bool terminal) {
    out_ = open_memstream(&buf_, &len_);
    ASSERT_NE(nullptr, out_);
    display_ = new Progress_Display(out_, terminal, [this] { return now_; });
  }
  void TearDown() override {
    delete display_;
    if (out_ != nullptr) std::fclose(out_);
    std::free(buf_);
  }
  // What was written since the last call.
  std::string written() {
    std::fflush(out_);
    const std::string all(buf_, len_);
    const std::string fresh = all.substr(seen_);
    seen_ = all.size();
    return fresh;
  }
  void at(double seconds, const Progress_Sample& s) {
    now_ = seconds;
    display_->update(s);
  }

  double now_ = 100.0;
  std::FILE* out_ = nullptr;
  char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::size_t seen_ = 0;
  Progress_Display* display_ = nullptr;
};

TEST(HumanUnits, BytesAndDurationsAtTheirBoundaries) {
  EXPECT_EQ("0 B", human_bytes(0));
  EXPECT_EQ("1023 B", human_bytes(1023));
  EXPECT_EQ("1.0 KiB", human_bytes(1024));
  EXPECT_EQ("1.5 KiB", human_bytes(1536));
  EXPECT_EQ("274.0 MiB", human_bytes(274.0 * MiB));
  EXPECT_EQ("2.0 GiB", human_bytes(2048.0 * MiB));
  EXPECT_EQ("3.0 PiB", human_bytes(3.0 * 1024 * 1024 * 1024 * MiB));
  EXPECT_EQ("3072.0 PiB", human_bytes(3.0 * 1024 * 1024 * 1024 * 1024 * MiB));  // no unit beyond PiB

  EXPECT_EQ("0.0s", human_duration(-1));
  EXPECT_EQ("4.2s", human_duration(4.24));
  EXPECT_EQ("10s", human_duration(9.96));
  EXPECT_EQ("59s", human_duration(59.4));
  EXPECT_EQ("1m00s", human_duration(59.6));
  EXPECT_EQ("3m05s", human_duration(185));
  EXPECT_EQ("2h07m", human_duration(2 * 3600 + 7 * 60 + 20));
}

TEST_F(Display, TerminalRedrawsOneLineInPlaceWithRateAndTimeLeft) {
  make(true);
  at(102, sample(100 * MiB, 400 * MiB));
  EXPECT_EQ("\r25%  100.0 MiB of 400.0 MiB" + EOL, written()) << "no rate from one report";
  at(104, sample(300 * MiB, 400 * MiB));
  EXPECT_EQ("\r75%  300.0 MiB of 400.0 MiB  100.0 MiB/s  1.0s left" + EOL, written());
  display_->finish();
  EXPECT_EQ("\r" + EOL, written());  // the line is cleared for what follows
  display_->finish();
  EXPECT_EQ("", written());  // nothing drawn, nothing to clear
}

TEST_F(Display, TerminalRedrawsAtMostFourTimesASecondAndTickCatchesUp) {
  make(true);
  at(101, sample(10 * MiB, 100 * MiB));
  EXPECT_NE("", written());
  at(101.1, sample(20 * MiB, 100 * MiB));
  at(101.2, sample(30 * MiB, 100 * MiB));
  EXPECT_EQ("", written()) << "within a quarter second of the last line";
  now_ = 101.2;
  display_->tick();
  EXPECT_EQ("", written());
  now_ = 101.25;
  display_->tick();
  EXPECT_EQ("\r30%  30.0 MiB of 100.0 MiB" + EOL, written()) << "the newest report; no rate within a second";
  now_ = 102;
  display_->tick();
  EXPECT_EQ("\r30%  30.0 MiB of 100.0 MiB  20.0 MiB/s  3.5s left" + EOL, written()) << "the rate follows the clock";
}

TEST_F(Display, TerminalSkipsAnUnchangedLine) {
  make(true);
  at(100, sample(0, 0, 40));
  EXPECT_EQ("\r40%" + EOL, written());
  at(101, sample(0, 0, 40));
  now_ = 102;
  display_->tick();
  EXPECT_EQ("", written());
  at(103, sample(0, 0, 41));
  EXPECT_EQ("\r41%" + EOL, written());
}

TEST_F(Display, UnknownTotalShowsBytesAndRateOnly) {
  make(true);
  at(104, sample(2 * MiB, 0));
  EXPECT_EQ("\r2.0 MiB" + EOL, written());
  at(104.5, sample(2 * MiB + 300 * 1024, 0, 77));  // a percentage without a total is not believed
  EXPECT_EQ("\r2.3 MiB" + EOL, written());
  at(105.5, sample(2 * MiB + 900 * 1024, 0));
  EXPECT_EQ("\r2.9 MiB  600.0 KiB/s" + EOL, written());
}

TEST_F(Display, ReportsCollectedInOneBurstShowNoRate) {
  make(false);
  for (int i = 1; i <= 9; ++i) at(200, sample(i * 10 * MiB, 100 * MiB));
  EXPECT_EQ(std::string::npos, written().find("/s")) << "a mean over no time says nothing";
}

TEST_F(Display, RateCountsFromTheFirstBytesNotFromTheStart) {
  make(true);
  at(100, sample(0, 0, 0));
  EXPECT_EQ("\r0%" + EOL, written());
  at(160, sample(5 * MiB, 10 * MiB));  // a minute before the data began to move
  EXPECT_EQ("\r50%  5.0 MiB of 10.0 MiB" + EOL, written());
  at(161, sample(6 * MiB, 10 * MiB));
  EXPECT_EQ("\r60%  6.0 MiB of 10.0 MiB  1.0 MiB/s  4.0s left" + EOL, written());
}

TEST_F(Display, CompletedJobEndsOnTheWholeWayDoneAndKeepsTheLine) {
  make(true);
  EXPECT_EQ(0, display_->moving_seconds());
  at(100, sample(0, 0, 0));
  at(160, sample(5 * MiB, 10 * MiB));
  EXPECT_EQ(0, display_->moving_seconds()) << "no time from one burst";
  at(162, sample(9 * MiB, 10 * MiB));  // the last report stops short of the end
  EXPECT_DOUBLE_EQ(2, display_->moving_seconds()) << "from the first bytes, not from the start";
  written();
  now_ = 162.5;
  display_->complete();
  EXPECT_EQ("\r100%  10.0 MiB of 10.0 MiB  2.0 MiB/s" + EOL + "\n", written()) << "stays on a line of its own";
  display_->finish();
  EXPECT_EQ("", written()) << "nothing left to clear";
}

TEST_F(Display, PlainCompletionAddsTheLastLineOnce) {
  make(false);
  at(101, sample(94 * MiB, 100 * MiB));
  written();
  display_->complete();
  EXPECT_EQ("progress: 100%, 100.0 MiB of 100.0 MiB\n", written());
  display_->complete();
  EXPECT_EQ("", written()) << "no report since, nothing to complete";
}

TEST_F(Display, PlainLinesAtMostOnePerTenPercent) {
  make(false);
  const int percents[] = {1, 5, 9, 10, 15, 19, 35, 36, 98, 100, 100};
  double t = 100;
  for (int p : percents) at(t += 1, sample(static_cast<unsigned long long>(p) * MiB, 100 * MiB));
  const std::string text = written();
  EXPECT_EQ(
      "progress: 1%, 1.0 MiB of 100.0 MiB\n"
      "progress: 10%, 10.0 MiB of 100.0 MiB, 3.0 MiB/s, 30s left\n"
      "progress: 35%, 35.0 MiB of 100.0 MiB, 5.7 MiB/s, 11s left\n"
      "progress: 98%, 98.0 MiB of 100.0 MiB, 12.1 MiB/s, 0.2s left\n"
      "progress: 100%, 100.0 MiB of 100.0 MiB, 11.0 MiB/s\n",
      text);
  EXPECT_EQ(std::string::npos, text.find('\r'));
  EXPECT_EQ(std::string::npos, text.find('\x1b'));
  display_->finish();
  EXPECT_EQ("", written());
}

TEST_F(Display, PlainPercentOnlyReportsAreClamped) {
  make(false);
  for (int p : {-3, 0, 5, 12, 12, 140}) at(100, sample(0, 0, p));
  EXPECT_EQ("progress: 0%\nprogress: 12%\nprogress: 100%\n", written());
}

TEST_F(Display, PlainUnknownTotalAtMostOneLinePerTenSeconds) {
  make(false);
  at(101, sample(1 * MiB, 0));
  at(105, sample(5 * MiB, 0));
  at(110.9, sample(9 * MiB, 0));
  at(111, sample(10 * MiB, 0));
  at(115, sample(11 * MiB, 0));
  EXPECT_EQ("progress: 1.0 MiB\nprogress: 10.0 MiB, 921.6 KiB/s\n", written());
}

}  // namespace
