#include "bench/support/bench_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"

namespace bench {

namespace {

// Pieces the stream copies hand to the storage client.
const std::size_t PIECE = 8192;

// Inputs are generated in chunks of at least this size; a repeat of the
// ORDERS mix only reaches back within its own chunk.
const std::size_t CHUNK = 1 << 20;

// The next chunk of the mix, continuing the sequence of rng.
void next_chunk(Input_Mix mix, Xorshift& rng, std::string& chunk) {
  chunk.clear();
  while (chunk.size() < CHUNK) {
    if (mix == Input_Mix::ROWS) {
      const unsigned kind = rng.next() % 4;
      if (kind == 0) {
        for (int i = 0; i < 16; ++i) chunk.push_back(static_cast<char>(rng.next()));
      } else {
        char line[128];
        const int n =
            std::snprintf(line, sizeof line, "row %llu|customer-%llu|%s|%llu.%02llu\n", rng.next() % 100000,
                          rng.next() % 977, kind == 1 ? "ACTIVE" : "closed", rng.next() % 10000, rng.next() % 100);
        chunk.append(line, static_cast<std::size_t>(n));
      }
    } else {
      const unsigned kind = rng.next() % 8;
      if (kind == 0) {
        for (int i = 0; i < 24; ++i) chunk.push_back(static_cast<char>(rng.next()));
      } else if (kind == 1 && chunk.size() > 4096) {
        chunk.append(chunk, chunk.size() - 4096, 512);
      } else {
        char line[160];
        const int n = std::snprintf(
            line, sizeof line, "%llu|order-%llu|customer %llu|%s|%llu.%02llu|2024-%02llu-%02llu\n",
            rng.next() % 10000000, rng.next() % 500000, rng.next() % 977, kind == 2 ? "SHIPPED" : "pending",
            rng.next() % 10000, rng.next() % 100, 1 + rng.next() % 12, 1 + rng.next() % 28);
        chunk.append(line, static_cast<std::size_t>(n));
      }
    }
  }
}

// The seed each mix was published with.
unsigned long long seed_of(Input_Mix mix) {
  return mix == Input_Mix::ROWS ? 0x9e3779b97f4a7c15ULL : 0x2545f4914f6cdd1dULL;
}

[[noreturn]] void client_failed(const char* what, const Client_IO_Ex& io) {
  std::fprintf(stderr, "%s: %s\n", what, io.error());
  std::exit(1);
}

}  // namespace

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string self_path() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string build_dir() {
  const std::string self = self_path();
  const std::string bench_dir = self.substr(0, self.rfind('/'));
  return bench_dir.substr(0, bench_dir.rfind('/'));
}

std::string sim_path() { return build_dir() + "/sim/oscar-sim"; }

bool sh(const std::string& cmd, Output output) {
  return std::system((output == Output::DISCARDED ? cmd + " >/dev/null 2>&1" : cmd).c_str()) == 0;
}

double time_command(const std::string& cmd, Output output) {
  const double t0 = now_s();
  if (!sh(cmd, output)) {
    std::fprintf(stderr, "command failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return now_s() - t0;
}

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

unsigned long long env_number(const char* name, unsigned long long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

int env_count(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return std::max(1, v != nullptr && *v != '\0' ? std::atoi(v) : fallback);
}

long peak_rss_kib() {
  struct rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

std::string make_temp_dir(const std::string& parent, const std::string& name) {
  std::string path = parent + "/" + name + "-XXXXXX";
  return ::mkdtemp(&path[0]) != nullptr ? path : std::string();
}

std::string scratch_dir(const std::string& name) {
  const std::string dir = make_temp_dir("/tmp", name);
  if (dir.empty()) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return dir;
}

bool use_scratch_host(const std::string& dir, const std::string& pool_uuid, const std::string& pool_dir) {
  mkdir_p(dir + "/state");
  mkdir_p(dir + "/root");
  set_agent_state_dir(dir + "/state");
  set_host_root_prefix(dir + "/root");
  Pool_Info p;
  p.uuid = pool_uuid;
  p.url = "file://" + pool_dir;
  return add_pool(p);
}

void print_child_report(double seconds, unsigned long long bytes) {
  std::printf("%.6f %llu %ld\n", seconds, bytes, peak_rss_kib());
}

bool run_child(const std::string& cmd, Child_Report& report) {
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  const int got = std::fscanf(p, "%lf %llu %ld", &report.seconds, &report.bytes, &report.peak_kib);
  return ::pclose(p) == 0 && got == 3;
}

bool write_input(const std::string& path, std::size_t len, Input_Mix mix) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  Xorshift rng(seed_of(mix));
  std::string chunk;
  for (std::size_t written = 0; written < len;) {
    next_chunk(mix, rng, chunk);
    const std::size_t n = std::min(chunk.size(), len - written);
    if (std::fwrite(chunk.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    written += n;
  }
  return std::fclose(f) == 0;
}

std::string make_input(std::size_t len, Input_Mix mix) {
  Xorshift rng(seed_of(mix));
  std::string data, chunk;
  data.reserve(len + 2 * CHUNK);
  while (data.size() < len) {
    next_chunk(mix, rng, chunk);
    data += chunk;
  }
  data.resize(len);
  return data;
}

Write_Source Write_Source::file(const std::string& path) {
  Write_Source s;
  s.path = path;
  return s;
}

Write_Source Write_Source::memory(const std::string& data) {
  Write_Source s;
  s.data = &data;
  return s;
}

Client_Write time_client(const Write_Source& source, const std::string& dir, const Client_IO_Base::Options& options,
                         const std::string& name) {
  Client_IO_Ex io;
  const int fd = source.data != nullptr ? -1 : open_cloexec(source.path.c_str(), O_RDONLY);
  if ((source.data == nullptr && fd < 0) || !io.connect("file://" + dir, options)) {
    client_failed("cannot set up the client", io);
  }
  char buf[PIECE];
  Client_Write w;
  const double t0 = now_s();
  bool ok = io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  if (source.data != nullptr) {
    const std::string& data = *source.data;
    for (std::size_t at = 0; ok && at < data.size(); at += PIECE) {
      const std::size_t n = std::min(PIECE, data.size() - at);
      ok = io.write(data.data() + at, n) == static_cast<ssize_t>(n);
    }
  } else {
    for (ssize_t n; ok && (n = ::read(fd, buf, sizeof buf)) > 0;) ok = io.write(buf, static_cast<std::size_t>(n)) == n;
  }
  ok = ok && io.close();
  w.seconds = now_s() - t0;
  if (fd >= 0) ::close(fd);
  if (!ok) client_failed("client write failed", io);
  w.stored = io.storage_size();
  return w;
}

}  // namespace bench
