// Where an import may read a dump back and what it may remove afterwards:
// only an export run directory strictly inside the dump spool, judged on
// the path with "." and ".." resolved and symbolic links followed.

#include "oscar/dump_spool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "host/base/fs_util.h"
#include "oscar/utils.h"
#include "tests/support/sandbox.h"

namespace {

class DumpSpool : public ::testing::Test {
 protected:
  void SetUp() override {
    spool_ = oscar::dump_spool_path();
    ASSERT_EQ(box_.root() + "/var/cache/corvane/vantrel4/oscar/dump", spool_);
    ASSERT_EQ(0, mkdir_p(spool_));
  }

  Test_Sandbox box_;
  std::string spool_;
};

TEST_F(DumpSpool, ResolvingFollowsLinksAndTakesDotsOfTheMissingTailLexically) {
  ASSERT_EQ(0, mkdir_p(box_ / "real/sub"));
  ASSERT_EQ(0, ::symlink((box_ / "real").c_str(), (box_ / "link").c_str()));
  const std::string real = oscar::resolve_path(box_ / "real");
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real + "/sub", oscar::resolve_path(box_ / "link/./sub"));
  EXPECT_EQ(real + "/new/file", oscar::resolve_path(box_ / "link/sub/../new/x/../file"));
  EXPECT_EQ(oscar::resolve_path(box_.path()) + "/other", oscar::resolve_path(box_ / "link/../other"));
  EXPECT_EQ("/", oscar::resolve_path("/../.."));
  EXPECT_EQ("", oscar::resolve_path("relative/path"));
  EXPECT_EQ("", oscar::resolve_path(""));
  ASSERT_EQ(0, ::symlink((box_ / "loop").c_str(), (box_ / "loop").c_str()));
  // A link that never ends is not resolved into something that exists.
  EXPECT_EQ(oscar::resolve_path(box_.path()) + "/loop/x", oscar::resolve_path(box_ / "loop/x"));
}

TEST_F(DumpSpool, OnlyARunDirectoryStrictlyInsideTheSpoolIsAccepted) {
  const std::string spool = oscar::resolve_path(spool_);
  std::string run_dir = "untouched", why;
  ASSERT_TRUE(oscar::export_run_dir(spool_ + "/DEF/I_DB/x.dump", run_dir, why)) << why;
  EXPECT_EQ(spool + "/DEF", run_dir);
  ASSERT_TRUE(oscar::export_run_dir(spool_ + "/./DEF/a/../I_DB/x.dump", run_dir, why)) << why;
  EXPECT_EQ(spool + "/DEF", run_dir);

  ASSERT_EQ(0, mkdir_p(box_ / "elsewhere"));
  ASSERT_EQ(0, ::symlink((box_ / "elsewhere").c_str(), (spool_ + "/LINKED").c_str()));
  const std::string refused[] = {
      spool_ + "/I_DB/x.dump",             // the run directory would be the spool itself
      spool_ + "/x.dump",                  // above the spool
      spool_ + "/DEF/../../I_DB/x.dump",   // climbs out
      spool_ + "/LINKED/I_DB/x.dump",      // a link out of the spool
      box_ / "elsewhere/DEF/I_DB/x.dump",  // never was inside
      spool_ + "-other/DEF/I_DB/x.dump",   // a sibling sharing the spool's name as prefix
      "DEF/I_DB/x.dump",                   // relative
      "x.dump",                            // no directory at all
  };
  for (const std::string& file : refused) {
    run_dir = "untouched";
    why.clear();
    EXPECT_FALSE(oscar::export_run_dir(file, run_dir, why)) << file;
    EXPECT_EQ("untouched", run_dir) << file;
    EXPECT_NE(std::string::npos, why.find("dump spool")) << why;
  }
}

TEST(Dirname, TextBeforeTheLastSeparatorOfEitherKind) {
  EXPECT_EQ("/a/b", dirname("/a/b/c.dump"));
  EXPECT_EQ("C:\\dump", dirname("C:\\dump\\c.dump"));
  EXPECT_EQ("/a\\b", dirname("/a\\b/c"));
  EXPECT_EQ("", dirname("/c"));
  EXPECT_EQ("", dirname("c.dump"));
}

}  // namespace
