// Write throughput of the storage client against the command-line tools on
// the same input, measured in the same run: no compression against
// `cat IN > OUT` and against `cat IN > OUT && sync OUT` (the client syncs
// what it stores), zstd level 1 against `zstd -1 -T1`, lzop against
// `lzop -1`. The client is fed 8192-byte pieces, as the stream copies do,
// and its time includes close (completing, syncing and publishing the
// file). Prints MB/s and the ratios (client / tool), medians of the runs.
//   bench_storage_write [MiB=256] [runs=3]
#include <unistd.h>

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
using bench::time_client;
using bench::time_command;
using bench::write_input;
using bench::Write_Source;

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string dir = scratch_dir("bench-storage");
  const std::string input = dir + "/input";
  if (!write_input(input, mib << 20, Input_Mix::ROWS)) return 1;
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
    Client_IO_Base::Options options;
    options.compression_method = c.method;
    options.compression_level = 1;
    options.overwrite = true;
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
      client.push_back(time_client(Write_Source::file(input), dir, options, "client.out" + tag).seconds);
    }
    const double mb = static_cast<double>(mib << 20) / 1e6;
    const double tool_rate = mb / median(tool), client_rate = mb / median(client);
    std::printf("%-9s tool %8.1f MB/s  client %8.1f MB/s  ratio %.2f\n", c.name, tool_rate, client_rate,
                client_rate / tool_rate);
  }
  rm_rf(dir);
  return 0;
}
