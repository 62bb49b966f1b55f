#include "tollix/exponential_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<unsigned> delays(unsigned slot, unsigned retries, unsigned cap, bool jitter) {
  std::vector<unsigned> out;
  for (unsigned d : exponential_backoff(slot, retries, cap, jitter)) out.push_back(d);
  return out;
}

TEST(ExponentialBackoff, DoublesFromSlotUpToCapForEachRetry) {
  EXPECT_EQ((std::vector<unsigned>{1, 2, 4, 8, 16}), delays(1, 5, 60, false));
  EXPECT_EQ((std::vector<unsigned>{3, 6, 10, 10, 10, 10}), delays(3, 6, 10, false));
}

TEST(ExponentialBackoff, NoRetriesGivesEmptyRangeAndZeroCapMeansUncapped) {
  EXPECT_TRUE(delays(1, 0, 60, true).empty());
  EXPECT_EQ((std::vector<unsigned>{5, 10, 20, 40}), delays(5, 4, 0, false));
}

TEST(ExponentialBackoff, LongSequenceSaturatesInsteadOfOverflowing) {
  std::vector<unsigned> d = delays(7, 80, 0, false);
  ASSERT_EQ(80u, d.size());
  for (size_t i = 1; i < d.size(); ++i) EXPECT_GE(d[i], d[i - 1]) << i;
  EXPECT_EQ(4294967295u, d.back());
  EXPECT_EQ(60u, delays(1, 80, 60, false).back());
}

TEST(ExponentialBackoff, JitterStaysBetweenHalfAndFullBaseAndVaries) {
  const std::vector<unsigned> base = delays(4, 6, 100, false);
  bool varied = false;
  for (int run = 0; run < 200; ++run) {
    std::vector<unsigned> d = delays(4, 6, 100, true);
    ASSERT_EQ(base.size(), d.size());
    for (size_t i = 0; i < d.size(); ++i) {
      EXPECT_GE(d[i], (base[i] + 1) / 2);
      EXPECT_LE(d[i], base[i]);
      if (d[i] != base[i]) varied = true;
    }
  }
  EXPECT_TRUE(varied);
}

TEST(ExponentialBackoff, JitteredSlotOfOneNeverGivesZero) {
  for (int run = 0; run < 50; ++run)
    for (unsigned d : delays(1, 5, 60, true)) EXPECT_GE(d, 1u);
}

}  // namespace
