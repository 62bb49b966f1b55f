// Encrypted storage writes against the same writes in the clear, in the
// same run: a backup-size input stored through the storage client with each
// compression method, once through a pool with an aes-256-gcm key and once
// without. The client is fed 8192-byte pieces from memory, as the stream
// copies do, and its time includes close (completing, syncing and
// publishing the file). Prints MB/s and the ratio (encrypted / clear),
// medians of the runs; the runs of the two alternate.
//   bench_encrypted_store [MiB=512] [runs=5]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"

namespace {

const char KEY[] = "9c1d3e5f7a9b0c2d4e6f8a0b1c3d5e7f9a1b2c4d6e8f0a1b3c5d7e9f0a2b4c6d";

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Text-like records mixed with short random runs: compressible about as a
// database file is.
std::string make_input(std::size_t len) {
  unsigned long long x = 0x9e3779b97f4a7c15ULL;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::string data;
  data.reserve(len + 256);
  while (data.size() < len) {
    const unsigned kind = next() % 4;
    if (kind == 0) {
      for (int i = 0; i < 16; ++i) data.push_back(static_cast<char>(next()));
    } else {
      char line[128];
      const int n = std::snprintf(line, sizeof line, "row %llu|customer-%llu|%s|%llu.%02llu\n", next() % 100000,
                                  next() % 977, kind == 1 ? "ACTIVE" : "closed", next() % 10000, next() % 100);
      data.append(line, static_cast<std::size_t>(n));
    }
  }
  data.resize(len);
  return data;
}

double time_client(const std::string& data, const std::string& dir, int method, bool encrypted,
                   const std::string& name) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = 1;
  if (encrypted) {
    o.cipher = "aes-256-gcm";
    o.key = KEY;
  }
  Client_IO_Ex io;
  if (!io.connect("file://" + dir, o)) {
    std::fprintf(stderr, "cannot set up the client: %s\n", io.error());
    std::exit(1);
  }
  const double t0 = now();
  bool ok = io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  for (std::size_t at = 0; ok && at < data.size(); at += 8192) {
    const std::size_t n = std::min<std::size_t>(8192, data.size() - at);
    ok = io.write(data.data() + at, n) == static_cast<ssize_t>(n);
  }
  ok = ok && io.close();
  const double t = now() - t0;
  if (!ok) {
    std::fprintf(stderr, "client write failed: %s\n", io.error());
    std::exit(1);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  char templ[] = "/tmp/bench-encrypted-XXXXXX";
  if (!::mkdtemp(templ)) return 1;
  const std::string dir = templ;
  const std::string data = make_input(mib << 20);
  std::printf("input: %zu MiB mixed data, %d runs each, medians\n", mib, runs);
  for (int method : {COMPR_NONE, COMPR_ZSTD, COMPR_LZOP}) {
    std::vector<double> clear, sealed;
    for (int i = 0; i < runs; ++i) {
      // Every run writes a file of its own and nothing is removed before
      // the end: on a file system that discards freed blocks, a removal
      // slows down the writes that follow it. Each starts with no dirty
      // pages left by the one before.
      const std::string tag = std::to_string(method) + "." + std::to_string(i);
      ::sync();
      clear.push_back(time_client(data, dir, method, false, "clear" + tag));
      ::sync();
      sealed.push_back(time_client(data, dir, method, true, "sealed" + tag));
    }
    const double mb = static_cast<double>(mib << 20) / 1e6;
    const double clear_rate = mb / median(clear), sealed_rate = mb / median(sealed);
    std::printf("%-5s clear %8.1f MB/s  encrypted %8.1f MB/s  ratio %.2f\n", compression_value_to_name(method),
                clear_rate, sealed_rate, sealed_rate / clear_rate);
  }
  rm_rf(dir);
  return 0;
}
