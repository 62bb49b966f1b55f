#ifndef BENCH_SUPPORT_BENCH_UTIL_H
#define BENCH_SUPPORT_BENCH_UTIL_H

#include <cstddef>
#include <string>
#include <vector>

#include "host/storage/client_io_base.h"

// What the benchmark programs share: the clock, medians, timed shell
// commands, scratch directories, generated inputs and timed storage-client
// writes. A failure a benchmark cannot go on from ends the program with a
// message on stderr and exit status 1: a run that broke half-way has no
// figures worth printing.
namespace bench {

// Seconds on the steady clock; only differences between two calls mean
// anything.
double now_s();

// The middle value of v (the upper of the two middle ones when their number
// is even); 0 for no values.
double median(std::vector<double> v);

// Seconds cmd took through the shell. Ends the program with "command
// failed: CMD" when it does not exit 0, since its time would mean nothing.
double time_command(const std::string& cmd);

// A new directory PARENT/NAME-XXXXXX with a unique suffix, made by
// mkdtemp(3); empty when it cannot be made.
std::string make_temp_dir(const std::string& parent, const std::string& name);

// A new scratch directory /tmp/NAME-XXXXXX. Ends the program when it cannot
// be made.
std::string scratch_dir(const std::string& name);

// Pseudo-random numbers from a 64-bit xorshift (shifts 13, 7, 17): one seed
// gives one sequence on every machine, so that generated inputs, and the
// figures measured on them, stay comparable between runs and builds.
class Xorshift {
 public:
  explicit Xorshift(unsigned long long seed) : x_(seed) {}
  unsigned long long next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 7;
    x_ ^= x_ << 17;
    return x_;
  }

 private:
  unsigned long long x_;
};

// The data of the generated inputs: text-like records mixed with short
// random runs. Each benchmark keeps the mix its figures were published
// with, since compression and its speed depend on the data.
enum class Input_Mix {
  // "row N|customer-N|ACTIVE|N.NN" records, one place in four a 16-byte
  // random run instead: compressible about as a database file is.
  ROWS,
  // "N|order-N|customer N|SHIPPED|N.NN|2024-MM-DD" records, one place in
  // eight a 24-byte random run and one in eight a repeat of 512 bytes from
  // 4 KiB back: compressible about as a database dump is.
  ORDERS,
};

// Writes the first len bytes of the mix into a new file at path; answers
// whether all were written.
bool write_input(const std::string& path, std::size_t len, Input_Mix mix);

// The first len bytes of the mix, the same bytes write_input writes.
std::string make_input(std::size_t len, Input_Mix mix);

// Where a timed client write takes its bytes from: a file, read during the
// timed write (from the page cache when it was read just before), or bytes
// in memory, handed over without copying.
struct Write_Source {
  static Write_Source file(const std::string& path);
  static Write_Source memory(const std::string& data);

  std::string path;
  const std::string* data = nullptr;
};

// One timed client write: seconds from open to the end of close, and the
// size of the stored file.
struct Client_Write {
  double seconds = 0;
  unsigned long long stored = 0;
};

// Stores source as `name` into the file:// pool at dir through the storage
// client with options, in 8192-byte pieces as the stream copies write; the
// time includes close (completing, syncing and publishing the file). Ends
// the program when the client cannot be set up or the write fails.
Client_Write time_client(const Write_Source& source, const std::string& dir, const Client_IO_Base::Options& options,
                         const std::string& name);

}  // namespace bench

#endif
