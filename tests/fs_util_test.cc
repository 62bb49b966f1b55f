#include "host/base/fs_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_paths.h"

namespace {

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(FsUtil, MkdirPCreatesParentsAndAcceptsExisting) {
  Temp_Dir tmp;
  EXPECT_EQ(0, mkdir_p(tmp / "a/b/c"));
  EXPECT_TRUE(is_dir(tmp / "a/b/c"));
  EXPECT_EQ(0, mkdir_p(tmp / "a/b/c"));
  ASSERT_TRUE(write_file(tmp / "file", "x"));
  EXPECT_EQ(-1, mkdir_p(tmp / "file"));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(-1, mkdir_p(""));
}

TEST(FsUtil, RmRfRemovesTreeWithoutFollowingLinks) {
  Temp_Dir tmp;
  Temp_Dir outside;
  ASSERT_TRUE(write_file(outside / "keep", "precious"));
  ASSERT_EQ(0, mkdir_p(tmp / "t/sub"));
  ASSERT_TRUE(write_file(tmp / "t/sub/f", "x"));
  ASSERT_EQ(0, ::symlink(outside.path().c_str(), (tmp / "t/link").c_str()));
  EXPECT_EQ(0, rm_rf(tmp / "t"));
  EXPECT_FALSE(is_dir(tmp / "t"));
  EXPECT_EQ("precious", read_file(outside / "keep"));
  EXPECT_EQ(0, rm_rf(tmp / "missing"));
}

TEST(FsUtil, OpenCloexecSetsTheFlag) {
  Temp_Dir tmp;
  int fd = open_cloexec((tmp / "f").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  ::close(fd);
  EXPECT_EQ(-1, open_cloexec((tmp / "none/f").c_str(), O_RDONLY));
}

}  // namespace
