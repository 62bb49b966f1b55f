// zstd level 1 storage writes through the storage client with its worker
// threads (one per core unless a count is given) against `zstd -1 -T1` on
// the same input, in the same run; the client's single-threaded write is
// shown beside them. The client is fed 8192-byte pieces read from the
// input file, as the stream copies do, and its time includes close
// (completing, syncing and publishing the file); the tool writes its output
// into the same directory. Prints MB/s, the speed ratios (client / tool) and
// the ratio of the compressed sizes (client / tool), medians of the runs;
// also against the tool followed by a sync of its output (the client's
// close syncs) and against the tool with as many threads as the client.
//   bench_zstd_store [MiB=256] [runs=5] [workers=cores]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"

using bench::Input_Mix;
using bench::median;
using bench::scratch_dir;
using bench::time_command;
using bench::write_input;
using bench::Write_Source;

namespace {

unsigned long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

// Seconds to store the input through the client with the given zstd
// workers; stored gets the stored file's size.
double time_client(const std::string& input, const std::string& dir, const std::string& workers,
                   const std::string& name, unsigned long long& stored) {
  Client_IO_Base::Options o;
  o.compression_method = COMPR_ZSTD;
  o.compression_level = 1;
  o.overwrite = true;
  if (!workers.empty()) o.set_extra_option(ZSTD_WORKERS_OPTION, workers);
  const bench::Client_Write w = bench::time_client(Write_Source::file(input), dir, o, name);
  stored = w.stored;
  return w.seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string workers = argc > 3 ? argv[3] : std::to_string(default_zstd_workers());
  const std::string dir = scratch_dir("bench-zstd");
  const std::string input = dir + "/input";
  if (!write_input(input, mib << 20, Input_Mix::ORDERS)) return 1;
  time_command("cat " + input + " > /dev/null");

  std::vector<double> tool, tool_sync, tool_threads, parallel, single;
  unsigned long long tool_size = 0, parallel_size = 0, single_size = 0;
  for (int i = 0; i < runs; ++i) {
    // Every run writes files of its own and nothing is removed before the
    // end: on a file system that discards freed blocks, a removal slows
    // down the writes that follow it. Each starts with no dirty pages left.
    const std::string tag = std::to_string(i);
    const std::string out = dir + "/tool.out" + tag;
    ::sync();
    tool.push_back(time_command("zstd -q -f -1 -T1 -c " + input + " > " + out));
    tool_size = file_size(out);
    ::sync();
    // The client syncs what it stores; so does this baseline.
    tool_sync.push_back(time_command("zstd -q -f -1 -T1 -c " + input + " > " + out + "s && sync " + out + "s"));
    ::sync();
    tool_threads.push_back(time_command("zstd -q -f -1 -T" + workers + " -c " + input + " > " + out + "t"));
    ::sync();
    parallel.push_back(time_client(input, dir, workers, "parallel.out" + tag, parallel_size));
    ::sync();
    single.push_back(time_client(input, dir, "1", "single.out" + tag, single_size));
  }
  // The stored form stays what the zstd tool reads.
  const std::string check = "zstd -q -d -c " + dir + "/parallel.out0 | cmp -s - " + input;
  if (std::system(check.c_str()) != 0) {
    std::fprintf(stderr, "the stored file does not decompress to the input with zstd -d\n");
    return 1;
  }
  const double mb = static_cast<double>(mib << 20) / 1e6;
  const double tool_rate = mb / median(tool);
  std::printf("input: %zu MiB mixed data, %d runs each, medians; %ld cores online\n", mib, runs,
              ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("zstd -1 -T1        %8.1f MB/s  size %llu\n", tool_rate, tool_size);
  std::printf("zstd -1 -T1, sync  %8.1f MB/s  (client with workers: speed ratio %.2f)\n", mb / median(tool_sync),
              median(tool_sync) / median(parallel));
  std::printf("zstd -1 -T%-8s %8.1f MB/s  (client with workers: speed ratio %.2f)\n", workers.c_str(),
              mb / median(tool_threads), median(tool_threads) / median(parallel));
  const struct {
    const char* name;
    double rate;
    unsigned long long size;
  } rows[] = {{"client, 1 thread  ", mb / median(single), single_size},
              {"client, workers   ", mb / median(parallel), parallel_size}};
  for (const auto& r : rows)
    std::printf("%s %8.1f MB/s  size %llu  speed ratio %.2f  size ratio %.3f\n", r.name, r.rate, r.size,
                r.rate / tool_rate, static_cast<double>(r.size) / static_cast<double>(tool_size));
  std::printf("(workers: %s)\n", workers.c_str());
  rm_rf(dir);
  return 0;
}
