#include "host/storage/client_io_ex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/sample_data.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

Client_IO_Base::Options options_for(int method, int level = 1) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = level;
  return o;
}

// Writes data in 8192-byte pieces, as the stream copies do.
bool store(const std::string& dir, const std::string& name, const std::string& data,
           const Client_IO_Base::Options& opts, std::string* error = nullptr) {
  Client_IO_Ex io;
  bool ok = io.connect("file://" + dir, opts) && io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  for (std::size_t at = 0; ok && at < data.size(); at += 8192) {
    const std::size_t n = std::min<std::size_t>(8192, data.size() - at);
    ok = io.write(data.data() + at, n) == static_cast<ssize_t>(n);
  }
  ok = ok && io.close();
  if (error) *error = io.error();
  return ok;
}

// Reads a whole file with the given method; false when a read failed, in
// which case out holds what came before the failure.
bool load(const std::string& dir, const std::string& name, int method, std::string& out, std::string* error = nullptr) {
  Client_IO_Ex io;
  out.clear();
  bool ok = io.connect("file://" + dir, options_for(method)) && io.open(name.c_str(), Client_IO_Ex::MODE_READ);
  char buf[5000];
  while (ok) {
    const ssize_t n = io.read(buf, sizeof buf);
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  if (error) *error = io.error();
  return ok && io.close();
}

class ClientIoMethods : public ::testing::TestWithParam<int> {};

TEST_P(ClientIoMethods, RoundTripKeepsEveryByteAndCountsSizes) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(3 * 1024 * 1024 + 123);
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), options_for(GetParam())));
  ASSERT_TRUE(io.open("set.bin", Client_IO_Ex::MODE_WRITE)) << io.error();
  for (std::size_t at = 0; at < data.size(); at += 8192) {
    const std::size_t n = std::min<std::size_t>(8192, data.size() - at);
    ASSERT_EQ(static_cast<ssize_t>(n), io.write(data.data() + at, n)) << io.error();
  }
  ASSERT_TRUE(io.close()) << io.error();
  EXPECT_EQ(data.size(), io.original_size());
  struct stat st;
  ASSERT_EQ(0, ::stat((tmp / "set.bin").c_str(), &st));
  EXPECT_EQ(static_cast<unsigned long long>(st.st_size), io.storage_size());
  unsigned long long stored = 0;
  EXPECT_EQ(1, io.stored_size("set.bin", stored));
  EXPECT_EQ(io.storage_size(), stored);
  if (GetParam() != COMPR_NONE) {
    EXPECT_LT(io.storage_size(), data.size() * 3 / 4);
  }

  std::string back;
  ASSERT_TRUE(load(tmp.path(), "set.bin", GetParam(), back));
  EXPECT_TRUE(back == data);
  ASSERT_TRUE(load(tmp.path(), "set.bin", COMPR_AUTO, back));
  EXPECT_TRUE(back == data);
  EXPECT_EQ(std::vector<std::string>{"set.bin"}, dir_entries(tmp.path()));
}

TEST_P(ClientIoMethods, EmptyFileRoundTrips) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "empty", "", options_for(GetParam())));
  std::string back = "x";
  EXPECT_TRUE(load(tmp.path(), "empty", COMPR_AUTO, back));
  EXPECT_EQ("", back);
}

INSTANTIATE_TEST_SUITE_P(AllMethods, ClientIoMethods, ::testing::Values(COMPR_NONE, COMPR_AUTO, COMPR_LZOP, COMPR_ZSTD),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(i.param == COMPR_NONE   ? "None"
                                              : i.param == COMPR_AUTO ? "Auto"
                                              : i.param == COMPR_LZOP ? "Lzop"
                                                                      : "Zstd");
                         });

class ClientIoDamage : public ::testing::TestWithParam<int> {};

TEST_P(ClientIoDamage, TruncatedFileFailsWithoutWrongBytes) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(2 * 1024 * 1024 + 7, 3);
  ASSERT_TRUE(store(tmp.path(), "f", data, options_for(GetParam())));
  const std::string stored = read_file(tmp / "f");
  for (std::size_t cut : {std::size_t(9), stored.size() / 3, stored.size() / 2, stored.size() - 1}) {
    ASSERT_TRUE(write_file(tmp / "t", stored.substr(0, cut)));
    std::string back, error;
    EXPECT_FALSE(load(tmp.path(), "t", COMPR_AUTO, back, &error)) << "cut at " << cut;
    EXPECT_NE(std::string::npos, error.find("truncated")) << error;
    EXPECT_TRUE(data.compare(0, back.size(), back) == 0) << "bytes handed out differ, cut at " << cut;
    EXPECT_LT(back.size(), data.size());
  }
}

TEST_P(ClientIoDamage, CorruptedByteFailsWithoutWrongBytes) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(2 * 1024 * 1024 + 7, 4);
  ASSERT_TRUE(store(tmp.path(), "f", data, options_for(GetParam())));
  const std::string stored = read_file(tmp / "f");
  for (std::size_t at : {stored.size() / 5, stored.size() / 2, stored.size() - 5}) {
    std::string bad = stored;
    bad[at] = static_cast<char>(bad[at] ^ 0x20);
    ASSERT_TRUE(write_file(tmp / "c", bad));
    std::string back, error;
    EXPECT_FALSE(load(tmp.path(), "c", COMPR_AUTO, back, &error)) << "flip at " << at;
    EXPECT_NE(std::string::npos, error.find("corrupt")) << error;
    EXPECT_TRUE(data.compare(0, back.size(), back) == 0) << "bytes handed out differ, flip at " << at;
  }
}

TEST_P(ClientIoDamage, BytesAfterTheEndAreCorruption) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "f", mixed_sample(10000), options_for(GetParam())));
  ASSERT_TRUE(write_file(tmp / "g", read_file(tmp / "f") + "tail"));
  std::string back, error;
  EXPECT_FALSE(load(tmp.path(), "g", COMPR_AUTO, back, &error));
  EXPECT_NE(std::string::npos, error.find("corrupt")) << error;
}

INSTANTIATE_TEST_SUITE_P(CheckedMethods, ClientIoDamage, ::testing::Values(COMPR_LZOP, COMPR_ZSTD),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(i.param == COMPR_LZOP ? "Lzop" : "Zstd");
                         });

TEST(ClientIo, ZstdFilesAreReadableByTheZstdTool) {
  if (std::system("command -v zstd >/dev/null 2>&1") != 0) GTEST_SKIP() << "zstd tool not installed";
  Temp_Dir tmp;
  const std::string data = mixed_sample(1500000, 5);
  ASSERT_TRUE(store(tmp.path(), "z", data, options_for(COMPR_ZSTD)));
  const std::string cmd = "zstd -q -d -c " + (tmp / "z") + " > " + (tmp / "plain");
  ASSERT_EQ(0, std::system(cmd.c_str()));
  EXPECT_TRUE(read_file(tmp / "plain") == data);
}

TEST(ClientIo, ExplicitMethodRefusesAFileOfAnother) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "l", "some bytes", options_for(COMPR_LZOP)));
  std::string back, error;
  EXPECT_FALSE(load(tmp.path(), "l", COMPR_ZSTD, back, &error));
  EXPECT_NE(std::string::npos, error.find("is not zstd data")) << error;
}

TEST(ClientIo, FileIsInvisibleUntilCloseAndAbandonedWriteLeavesNothing) {
  Temp_Dir tmp;
  const std::string dir = tmp / "pool/res";
  {
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect("file://" + dir, options_for(COMPR_ZSTD)));
    ASSERT_TRUE(io.open("backup", Client_IO_Ex::MODE_WRITE)) << io.error();
    const std::string data = mixed_sample(3000000);
    ASSERT_EQ(static_cast<ssize_t>(data.size()), io.write(data.data(), data.size()));
    EXPECT_NE(0, ::access((dir + "/backup").c_str(), F_OK));
    Client_IO_Ex reader;
    ASSERT_TRUE(reader.connect("file://" + dir, options_for(COMPR_AUTO)));
    EXPECT_FALSE(reader.open("backup", Client_IO_Ex::MODE_READ));
    unsigned long long stored = 7;
    EXPECT_EQ(0, reader.stored_size("backup", stored)) << "a file being written has no stored size yet";
    EXPECT_EQ(7u, stored);
    EXPECT_EQ(0, reader.exists("backup"));
  }
  EXPECT_TRUE(dir_entries(dir).empty());
}

TEST(ClientIo, OverwriteFalseRefusesAnExistingName) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "f", "first", options_for(COMPR_NONE)));
  std::string error;
  EXPECT_FALSE(store(tmp.path(), "f", "second", options_for(COMPR_NONE), &error));
  EXPECT_NE(std::string::npos, error.find("already exists")) << error;
  EXPECT_EQ("first", read_file(tmp / "f"));
  Client_IO_Base::Options o = options_for(COMPR_NONE);
  o.overwrite = true;
  EXPECT_TRUE(store(tmp.path(), "f", "second", o));
  EXPECT_EQ("second", read_file(tmp / "f"));
  EXPECT_EQ(std::vector<std::string>{"f"}, dir_entries(tmp.path()));
}

TEST(ClientIo, UnwritableDirectoryIsAClearOpenFailure) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "plainfile", "x"));
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + (tmp / "plainfile/pool"), options_for(COMPR_NONE)));
  EXPECT_FALSE(io.open("f", Client_IO_Ex::MODE_WRITE));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("cannot create storage directory")) << io.error();
}

TEST(ClientIo, RemoveSaysWhenTheFileWasAlreadyMissing) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "kept", "one", options_for(COMPR_NONE)));
  ASSERT_TRUE(store(tmp.path(), "gone", "two", options_for(COMPR_NONE)));
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), options_for(COMPR_NONE)));
  bool missing = true;
  ASSERT_TRUE(io.remove("gone", &missing)) << io.error();
  EXPECT_FALSE(missing);
  ASSERT_TRUE(io.remove("gone", &missing)) << io.error();
  EXPECT_TRUE(missing);
  EXPECT_EQ(std::vector<std::string>{"kept"}, dir_entries(tmp.path()));
  Client_IO_Ex elsewhere;
  ASSERT_TRUE(elsewhere.connect("file://" + (tmp / "no/such/dir"), options_for(COMPR_NONE)));
  ASSERT_TRUE(elsewhere.remove("x", &missing)) << elsewhere.error();
  EXPECT_TRUE(missing);
}

TEST(ClientIo, RemovableRefusesADirectoryInThePlaceOfAFile) {
  Temp_Dir tmp;
  ASSERT_TRUE(store(tmp.path(), "file", "bytes", options_for(COMPR_NONE)));
  ASSERT_EQ(0, ::mkdir((tmp / "dir").c_str(), 0700));
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), options_for(COMPR_NONE)));
  EXPECT_TRUE(io.removable("file")) << io.error();
  EXPECT_TRUE(io.removable("absent")) << io.error();
  EXPECT_FALSE(io.removable("dir"));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("it is a directory")) << io.error();
  // What removable foresees is what remove meets: unlink refuses a
  // directory, also to root.
  EXPECT_FALSE(io.remove("dir"));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("cannot remove storage file")) << io.error();
  EXPECT_FALSE(io.removable("../file"));
  Client_IO_Ex unconnected;
  EXPECT_FALSE(unconnected.removable("file"));
}

// A disk that fills up after 256 KiB fails the file, whichever call sees
// the failure: a file smaller than one stored block (1 MiB) reaches the
// disk only at close; a file of several blocks reaches it on the writer
// thread while the caller is still writing, and the writer holds at most
// three blocks, so the fourth block's write sees the failure at the latest.
struct Full_Disk_Case {
  const char* name;
  std::size_t bytes;
  bool fails_at_write;
};

class ClientIoFullDisk : public ::testing::TestWithParam<Full_Disk_Case> {};

TEST_P(ClientIoFullDisk, FailsTheFileRemovesTheTemporaryFileAndEveryLaterCloseFails) {
  Temp_Dir tmp;
  struct rlimit old;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
  struct sigaction ign = {}, prev = {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &ign, &prev));
  struct rlimit small = old;
  small.rlim_cur = 256 * 1024;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  Client_IO_Ex io;
  bool write_failed = false, first_close = true, second_close = true;
  std::string first_error;
  if (io.connect("file://" + tmp.path(), options_for(COMPR_NONE)) && io.open("big", Client_IO_Ex::MODE_WRITE)) {
    const std::string data = mixed_sample(8192);
    for (std::size_t at = 0; at < GetParam().bytes && !write_failed; at += data.size())
      write_failed = io.write(data.data(), data.size()) < 0;
    first_close = io.close();
    first_error = io.error();
    second_close = io.close();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &prev, nullptr);
  EXPECT_EQ(GetParam().fails_at_write, write_failed);
  EXPECT_FALSE(first_close);
  EXPECT_NE(std::string::npos, first_error.find("cannot write storage file " + tmp.path() + "/big: File too large"))
      << first_error;
  EXPECT_FALSE(second_close) << "a failed file is never reported stored";
  EXPECT_EQ(first_error, io.error()) << "the failure is kept";
  EXPECT_TRUE(dir_entries(tmp.path()).empty());
  // The next file starts afresh.
  ASSERT_TRUE(io.open("next", Client_IO_Ex::MODE_WRITE)) << io.error();
  ASSERT_EQ(4, io.write("data", 4));
  EXPECT_TRUE(io.close()) << io.error();
  EXPECT_TRUE(io.close());
}

INSTANTIATE_TEST_SUITE_P(Where, ClientIoFullDisk,
                         ::testing::Values(Full_Disk_Case{"AtClose", 512 * 1024, false},
                                           Full_Disk_Case{"AtWrite", 6 * 1024 * 1024, true}),
                         [](const ::testing::TestParamInfo<Full_Disk_Case>& info) { return info.param.name; });

TEST(ClientIo, RejectsUnsafeNamesAndUnsupportedTargets) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  EXPECT_FALSE(io.connect("http://server/pool", options_for(COMPR_NONE)));
  EXPECT_FALSE(io.connect("file://relative/dir", options_for(COMPR_NONE)));
  Client_IO_Base::Options enc = options_for(COMPR_NONE);
  enc.cipher = "aes-256-cbc";
  EXPECT_FALSE(io.connect("file://" + tmp.path(), enc));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("unknown storage cipher 'aes-256-cbc'")) << io.error();
  EXPECT_FALSE(io.open("f", Client_IO_Ex::MODE_WRITE));
  ASSERT_TRUE(io.connect("file://" + tmp.path(), options_for(COMPR_NONE)));
  for (const char* bad : {"", ".hidden", "../escape", "a/b"})
    EXPECT_FALSE(io.open(bad, Client_IO_Ex::MODE_WRITE)) << bad;
  EXPECT_FALSE(io.open("f", 3));
  EXPECT_FALSE(io.open("missing", Client_IO_Ex::MODE_READ));
  EXPECT_TRUE(dir_entries(tmp.path()).empty());
}

TEST(ClientIo, RateControlPacesWrites) {
  Temp_Dir tmp;
  Test_Sandbox sandbox(1.0);  // waits as long as asked: the pacing is what is measured
  Client_IO_Base::Options o = options_for(COMPR_NONE);
  Rate_Control_Entry slow, fast;
  slow.max_bytes_per_second = 1024 * 1024;
  fast.max_bytes_per_second = 64 * 1024 * 1024;
  o.rate_control_entries = {fast, slow};
  const std::string data = mixed_sample(512 * 1024);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(store(tmp.path(), "paced", data, o));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(seconds, 0.35);
  EXPECT_LT(seconds, 5.0);
  EXPECT_TRUE(read_file(tmp / "paced") == data);
}

}  // namespace

TEST(ClientIo, ListShowsOnlyPublishedFilesAndUnknownSchemesAreNamed) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  std::vector<std::string> names{"stale"};
  ASSERT_TRUE(io.connect("file://" + (tmp / "pool/res"), options_for(COMPR_NONE)));
  ASSERT_TRUE(io.list(names)) << "a directory not written yet lists empty: " << io.error();
  EXPECT_TRUE(names.empty());
  ASSERT_TRUE(store(tmp / "pool/res", "b", "bee", options_for(COMPR_NONE)));
  ASSERT_TRUE(store(tmp / "pool/res", "a", "ay", options_for(COMPR_NONE)));
  ASSERT_TRUE(::mkdir((tmp / "pool/res/sub").c_str(), 0700) == 0);
  ASSERT_TRUE(io.open("c", Client_IO_Ex::MODE_WRITE)) << io.error();
  ASSERT_EQ(3, io.write("sea", 3));
  ASSERT_TRUE(io.list(names)) << io.error();
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names) << "neither the file being written nor a directory";
  ASSERT_TRUE(io.close());
  ASSERT_TRUE(io.list(names));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), names);

  for (const char* url : {"ftp://server/pool", "/no/scheme"}) {
    Client_IO_Ex other;
    EXPECT_FALSE(other.connect(url, options_for(COMPR_NONE))) << url;
    EXPECT_NE(std::string::npos, std::string(other.error()).find("unsupported storage URL")) << other.error();
    EXPECT_FALSE(other.list(names));
  }
}
