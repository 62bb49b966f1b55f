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
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"

using bench::Input_Mix;
using bench::make_input;
using bench::median;
using bench::scratch_dir;
using bench::Write_Source;

namespace {

const char KEY[] = "9c1d3e5f7a9b0c2d4e6f8a0b1c3d5e7f9a1b2c4d6e8f0a1b3c5d7e9f0a2b4c6d";

// Seconds to store data through the client, sealed with KEY when encrypted.
double time_client(const std::string& data, const std::string& dir, int method, bool encrypted,
                   const std::string& name) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = 1;
  if (encrypted) {
    o.cipher = "aes-256-gcm";
    o.key = KEY;
  }
  return bench::time_client(Write_Source::memory(data), dir, o, name).seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string dir = scratch_dir("bench-encrypted");
  const std::string data = make_input(mib << 20, Input_Mix::ROWS);
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
