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

TEST(FsUtil, AtomicWriteLeavesAPrivateFileAndNoTemporaryOne) {
  Temp_Dir tmp;
  const std::string path = tmp / "reg.json";
  ASSERT_TRUE(write_file(path, "old"));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
  ASSERT_EQ(0, write_file_atomic(path, "new", 3));
  EXPECT_EQ("new", read_file(path));
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  // Without replacing, an existing file is kept and the call says so.
  EXPECT_EQ(-1, write_file_atomic(path, "other", 5, false));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ("new", read_file(path));
  EXPECT_EQ(0, write_file_atomic(tmp / "fresh", "x", 1, false));
  EXPECT_EQ("x", read_file(tmp / "fresh"));
  EXPECT_EQ(2u, dir_entries(tmp.path()).size());
  EXPECT_EQ(-1, write_file_atomic(tmp / "none/f", "x", 1));
}

TEST(FsUtil, AtomicWriteNeverWritesThroughAPlantedLink) {
  Temp_Dir tmp, outside;
  ASSERT_TRUE(write_file(outside / "victim", "precious"));
  // Links at every name an older writer would have used beside the file.
  for (const std::string& name : {std::string("reg.json.tmp"), "reg.json." + std::to_string(::getpid()) + ".1.tmp"})
    ASSERT_EQ(0, ::symlink((outside / "victim").c_str(), (tmp / name).c_str()));
  ASSERT_EQ(0, write_file_atomic(tmp / "reg.json", "new", 3));
  EXPECT_EQ("precious", read_file(outside / "victim"));
  EXPECT_EQ("new", read_file(tmp / "reg.json"));
}

// Directories and secret files as the agent accepts them: the user's own,
// closed to writes (directories) or to everything (files) of others.
TEST(FsUtil, PrivateDirectoriesAndFilesAreCheckedForOwnerAndMode) {
  Temp_Dir tmp;
  std::string why;
  ASSERT_EQ(0, make_private_dir(tmp / "new/dir", why)) << why;
  struct stat st;
  ASSERT_EQ(0, ::stat((tmp / "new/dir").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);

  const struct {
    mode_t mode;
    bool owned;
    bool dir_ok;
    bool file_ok;
    const char* hint;
  } cases[] = {
      {0700, true, true, true, ""},           {0600, true, true, true, ""},
      {0755, true, true, false, "chmod 600"}, {0640, true, true, false, "chmod 600"},
      {0662, true, false, false, "chmod"},    {0775, true, false, false, "chmod"},
      {01777, true, false, false, "chmod"},   {0700, false, false, false, "chown"},
  };
  for (const auto& c : cases) {
    const std::string dir = tmp / "d", file = tmp / "f";
    ASSERT_EQ(0, mkdir_p(dir));
    ASSERT_TRUE(write_file(file, "secret"));
    for (const std::string& p : {dir, file}) {
      ASSERT_EQ(0, ::chmod(p.c_str(), c.mode));
      if (!c.owned) {
        ASSERT_EQ(0, ::chown(p.c_str(), 65534, 65534));
      }
    }
    why.clear();
    EXPECT_EQ(c.dir_ok ? 0 : -1, check_private_dir(dir, why)) << std::oct << c.mode << " " << why;
    if (!c.dir_ok) {
      EXPECT_NE(std::string::npos, why.find(dir)) << why;
      EXPECT_NE(std::string::npos, why.find(c.hint)) << why;
      EXPECT_EQ(-1, make_private_dir(dir, why));
    }
    const int fd = open_cloexec(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    why.clear();
    EXPECT_EQ(c.file_ok ? 0 : -1, check_private_file(fd, file, "the key file", why)) << std::oct << c.mode;
    ::close(fd);
    if (!c.file_ok) {
      EXPECT_NE(std::string::npos, why.find("the key file " + file)) << why;
      EXPECT_NE(std::string::npos, why.find(c.hint)) << why;
      EXPECT_EQ(std::string::npos, why.find('\n')) << why;
    }
    ASSERT_EQ(0, rm_rf(dir));
    ASSERT_EQ(0, rm_rf(file));
  }
  EXPECT_EQ(-1, check_private_dir(tmp / "missing", why));
}

}  // namespace
