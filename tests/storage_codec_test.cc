// The storage client's codecs: parallel zstd.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/storage/client_io_ex.h"
#include "tests/support/sample_data.h"
#include "tests/support/test_paths.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Stores data in uneven pieces; false with err set on any failure.
bool store(const std::string& dir, const std::string& name, const std::string& data,
           const Client_IO_Base::Options& options, std::string& err) {
  Client_IO_Ex io;
  bool ok = io.connect("file://" + dir, options) && io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  for (std::size_t at = 0; ok && at < data.size();) {
    const std::size_t n = std::min<std::size_t>(3000 + at % 65521, data.size() - at);
    ok = io.write(data.data() + at, n) == static_cast<ssize_t>(n);
    at += n;
  }
  ok = ok && io.close();
  if (!ok) err = io.error();
  return ok;
}

// What a read of the whole file gives: true with out holding every byte,
// or false with out holding what was handed out before the failure and err
// the client's error.
bool load(const std::string& dir, const std::string& name, const Client_IO_Base::Options& options, std::string& out,
          std::string& err) {
  out.clear();
  Client_IO_Ex io;
  if (!io.connect("file://" + dir, options) || !io.open(name.c_str(), Client_IO_Ex::MODE_READ)) {
    err = io.error();
    return false;
  }
  std::vector<char> buf(100000);
  for (;;) {
    const ssize_t n = io.read(buf.data(), buf.size());
    if (n < 0) {
      err = io.error();
      return false;
    }
    if (n == 0) break;
    out.append(buf.data(), static_cast<std::size_t>(n));
  }
  return io.close();
}

// With worker threads the zstd stored form is still frames the zstd tool
// and the client's own decoder read; the thread count is checked on
// connect.
TEST(ParallelZstd, WorkersWriteFramesTheToolAndTheClientRead) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(9 * 1024 * 1024 + 4321, 7);
  for (const char* workers : {"0", "1", "2", "3"}) {
    SCOPED_TRACE(workers);
    Client_IO_Base::Options o;
    o.compression_method = COMPR_ZSTD;
    o.set_extra_option(ZSTD_WORKERS_OPTION, workers);
    std::string err, back;
    const std::string name = std::string("z") + workers;
    ASSERT_TRUE(store(tmp.path(), name, data, o, err)) << err;
    o.compression_method = COMPR_AUTO;
    ASSERT_TRUE(load(tmp.path(), name, o, back, err)) << err;
    EXPECT_TRUE(back == data);
    if (std::system("command -v zstd >/dev/null 2>&1") != 0) continue;
    const std::string cmd = "zstd -q -d -c " + (tmp / name) + " > " + (tmp / "plain");
    ASSERT_EQ(0, std::system(cmd.c_str()));
    EXPECT_TRUE(read_file(tmp / "plain") == data);
  }

  Client_IO_Ex io;
  for (const char* bad : {"", "-1", "two", "100000", "1 "}) {
    Client_IO_Base::Options o;
    o.compression_method = COMPR_ZSTD;
    o.set_extra_option(ZSTD_WORKERS_OPTION, bad);
    EXPECT_FALSE(io.connect("file://" + tmp.path(), o)) << bad;
    EXPECT_TRUE(contains(io.error(), "zstd workers")) << io.error();
  }
}

}  // namespace
