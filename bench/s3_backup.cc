// Storing a backup stream into an S3 pool on an S3-compatible server on the
// loopback (s3rver, installed by scripts/install-deps), against storing the
// same stream into a file:// pool, measured in the same run. The stream is
// written through the storage client in 8192-byte pieces, as a backup's
// stream copy writes it, and each run includes close (the multipart upload
// completed, or the file synced and published). Each store runs in its own
// process (this program re-executed), so that its peak resident memory is
// its own: it is taken for a small and for a large stream, and the S3
// driver's memory must not grow with the size stored (the large stream's
// peak within 64 MiB of the small one's).
// Prints MB/s of both pools and their ratio (S3 / file), medians of the
// rounds, and the two peaks.
// Sizes: BENCH_SIZE MiB (default 256; 1536 for the full check) and
// BENCH_SMALL_SIZE MiB (64); BENCH_ROUNDS (3).
//   bench_s3_backup                                    runs everything
//   bench_s3_backup store URL ENDPOINT MIB             one store; prints seconds,
//                                                      bytes stored, peak RSS KiB

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "bench/support/s3rver.h"
#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"

using bench::Child_Report;
using bench::env_number;
using bench::median;
using bench::now_s;
using bench::self_path;

namespace {

const char* const BUCKET = "bench";

// One store in this process: MiB of generated backup-like data into url.
int store_child(const std::string& url, const std::string& endpoint, unsigned long long mib) {
  Client_IO_Base::Options o;
  o.s3_endpoint = endpoint;
  o.s3_access_key_id = "S3RVER";
  o.s3_secret_access_key = "S3RVER";
  Client_IO_Ex io;
  std::string piece(8192, '\0');
  bench::Xorshift rng(0x9e3779b97f4a7c15ULL);
  const double t0 = now_s();
  if (!io.connect(url, o) || !io.open("set", Client_IO_Ex::MODE_WRITE)) {
    std::fprintf(stderr, "cannot open the set: %s\n", io.error());
    return 1;
  }
  const unsigned long long pieces = mib * 1024 * 1024 / piece.size();
  for (unsigned long long i = 0; i < pieces; ++i) {
    // Data blocks with a varying head, as a database file's pages have.
    for (std::size_t at = 0; at < 64; at += 8) {
      const unsigned long long x = rng.next();
      std::memcpy(&piece[at], &x, 8);
    }
    if (io.write(piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
      std::fprintf(stderr, "write failed: %s\n", io.error());
      return 1;
    }
  }
  if (!io.close()) {
    std::fprintf(stderr, "close failed: %s\n", io.error());
    return 1;
  }
  bench::print_child_report(now_s() - t0, io.storage_size());
  return 0;
}

// One store in a child process; ends the program when it fails.
Child_Report run_store(const std::string& url, const std::string& endpoint, unsigned long long mib) {
  Child_Report r;
  const std::string cmd = self_path() + " store " + url + " " + endpoint + " " + std::to_string(mib);
  if (!bench::run_child(cmd, r)) {
    std::fprintf(stderr, "store failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "store")
    return store_child(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
  const unsigned long long large = env_number("BENCH_SIZE", 256);
  const unsigned long long small = env_number("BENCH_SMALL_SIZE", 64);
  const int rounds = static_cast<int>(env_number("BENCH_ROUNDS", 3));
  const std::string dir = bench::scratch_dir("s3-backup-bench");
  int rc = 0;
  {
    const bench::S3rver server(dir, BUCKET);
    const std::string endpoint = server.endpoint();
    std::vector<double> s3_rates, file_rates, ratios;
    long s3_large_peak = 0;
    for (int round = 0; round < rounds; ++round) {
      // Alternating order, so that neither side always runs on a warm cache.
      const std::string s3_url = std::string("s3://") + BUCKET + "/round" + std::to_string(round);
      const std::string file_url = "file://" + dir + "/pool/round" + std::to_string(round);
      Child_Report s3, file;
      if (round % 2 == 0) {
        s3 = run_store(s3_url, endpoint, large);
        file = run_store(file_url, endpoint, large);
      } else {
        file = run_store(file_url, endpoint, large);
        s3 = run_store(s3_url, endpoint, large);
      }
      const double mb = static_cast<double>(large) * 1048576 / 1e6;
      s3_rates.push_back(mb / s3.seconds);
      file_rates.push_back(mb / file.seconds);
      ratios.push_back(file.seconds / s3.seconds);
      s3_large_peak = std::max(s3_large_peak, s3.peak_kib);
      rm_rf(dir + "/data/" + BUCKET + "/round" + std::to_string(round));
      rm_rf(dir + "/pool/round" + std::to_string(round));
    }
    const Child_Report s3_small = run_store(std::string("s3://") + BUCKET + "/small", endpoint, small);
    std::printf("store of %llu MiB, %d rounds (medians)\n", large, rounds);
    std::printf("  s3:// pool (loopback s3rver)  %8.1f MB/s\n", median(s3_rates));
    std::printf("  file:// pool                  %8.1f MB/s\n", median(file_rates));
    std::printf("  ratio s3 / file               %8.2f\n", median(ratios));
    const long grow = s3_large_peak - s3_small.peak_kib;
    std::printf("peak RSS of the s3 store: %llu MiB stream %ld KiB, %llu MiB stream %ld KiB, difference %ld KiB (%s)\n",
                small, s3_small.peak_kib, large, s3_large_peak, grow,
                grow <= 64 * 1024 ? "within 64 MiB" : "OVER 64 MiB");
    if (grow > 64 * 1024) rc = 1;
  }
  rm_rf(dir);
  return rc;
}
