// Write throughput of the storage client against the command-line tools on
// the same input, measured in the same run: no compression against
// `cat IN > OUT` and against `cat IN > OUT && sync OUT` (the client syncs
// what it stores), zstd level 1 against `zstd -1 -T1`, lzop against
// `lzop -1`. The client is fed 8192-byte pieces, as the stream copies do,
// and its time includes close (completing, syncing and publishing the
// file). Prints MB/s and the ratios (client / tool), medians of the runs.
//   bench_storage_write [MiB=256] [runs=3]
#include <fcntl.h>
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

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Text-like records mixed with short random runs: compressible about as a
// database dump is.
bool make_input(const std::string& path, std::size_t len) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  unsigned long long x = 0x9e3779b97f4a7c15ULL;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::string chunk;
  std::size_t written = 0;
  while (written < len) {
    chunk.clear();
    while (chunk.size() < (1 << 20)) {
      const unsigned kind = next() % 4;
      if (kind == 0) {
        for (int i = 0; i < 16; ++i) chunk.push_back(static_cast<char>(next()));
      } else {
        char line[128];
        const int n = std::snprintf(line, sizeof line, "row %llu|customer-%llu|%s|%llu.%02llu\n", next() % 100000,
                                    next() % 977, kind == 1 ? "ACTIVE" : "closed", next() % 10000, next() % 100);
        chunk.append(line, static_cast<std::size_t>(n));
      }
    }
    const std::size_t n = std::min(chunk.size(), len - written);
    if (std::fwrite(chunk.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    written += n;
  }
  return std::fclose(f) == 0;
}

double time_command(const std::string& cmd) {
  const double t0 = now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "command failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return now() - t0;
}

double time_client(const std::string& input, const std::string& dir, int method, const std::string& name) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = 1;
  o.overwrite = true;
  Client_IO_Ex io;
  const int fd = open_cloexec(input.c_str(), O_RDONLY);
  if (fd < 0 || !io.connect("file://" + dir, o)) {
    std::fprintf(stderr, "cannot set up the client: %s\n", io.error());
    std::exit(1);
  }
  char buf[8192];
  const double t0 = now();
  bool ok = io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  for (ssize_t n; ok && (n = ::read(fd, buf, sizeof buf)) > 0;) ok = io.write(buf, static_cast<std::size_t>(n)) == n;
  ok = ok && io.close();
  const double t = now() - t0;
  ::close(fd);
  if (!ok) {
    std::fprintf(stderr, "client write failed: %s\n", io.error());
    std::exit(1);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  char templ[] = "/tmp/bench-storage-XXXXXX";
  if (!::mkdtemp(templ)) return 1;
  const std::string dir = templ;
  const std::string input = dir + "/input";
  if (!make_input(input, mib << 20)) return 1;
  time_command("cat " + input + " > /dev/null");

  struct Case {
    const char* name;
    int method;
    std::string tool;
  } cases[] = {
      {"none", COMPR_NONE, "cat " + input + " > " + dir + "/tool.out@"},
      // The client syncs the file before it publishes it; this baseline pays
      // for the same durability.
      {"none+sync", COMPR_NONE, "cat " + input + " > " + dir + "/tool.out@ && sync " + dir + "/tool.out@"},
      {"zstd -1", COMPR_ZSTD, "zstd -q -f -1 -T1 -c " + input + " > " + dir + "/tool.out@"},
      {"lzop -1", COMPR_LZOP, "lzop -q -f -1 -c " + input + " > " + dir + "/tool.out@"},
  };
  std::printf("input: %zu MiB mixed data, %d runs each, medians\n", mib, runs);
  for (const Case& c : cases) {
    std::vector<double> tool, client;
    // Each run starts with no dirty pages left by the one before, so that
    // neither pays for the other's write-back.
    // Every run writes a file of its own and nothing is removed before the
    // end: on a file system that discards freed blocks, a removal slows
    // down the writes that follow it.
    for (int i = 0; i < runs; ++i) {
      const std::string tag = std::to_string(&c - cases) + "." + std::to_string(i);
      std::string tool_cmd = c.tool;
      for (std::size_t at; (at = tool_cmd.find('@')) != std::string::npos;) tool_cmd.replace(at, 1, tag);
      ::sync();
      tool.push_back(time_command(tool_cmd));
      ::sync();
      client.push_back(time_client(input, dir, c.method, "client.out" + tag));
    }
    const double mb = static_cast<double>(mib << 20) / 1e6;
    const double tool_rate = mb / median(tool), client_rate = mb / median(client);
    std::printf("%-9s tool %8.1f MB/s  client %8.1f MB/s  ratio %.2f\n", c.name, tool_rate, client_rate,
                client_rate / tool_rate);
  }
  rm_rf(dir);
  return 0;
}
