#ifndef BENCH_SUPPORT_BENCH_UTIL_H
#define BENCH_SUPPORT_BENCH_UTIL_H

#include <cstddef>
#include <string>
#include <vector>

#include "host/storage/client_io_base.h"

// What the benchmark programs share: the clock, medians, where the build
// tree is, shell commands, settings from the environment, scratch
// directories, generated inputs, child runs and timed storage-client
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

// This program's path; empty when /proc/self/exe cannot be read.
std::string self_path();

// The build tree: the benchmarks are built in BUILD/bench.
std::string build_dir();

// The database simulator, built in BUILD/sim beside the benchmarks.
std::string sim_path();

// Where a shell command's stdout and stderr go.
enum class Output {
  SHOWN,      // where this program's go
  DISCARDED,  // to /dev/null
};

// Runs cmd through the shell; answers whether it exited 0.
bool sh(const std::string& cmd, Output output = Output::SHOWN);

// Seconds cmd took through the shell. Ends the program with "command
// failed: CMD" when it does not exit 0, since its time would mean nothing.
double time_command(const std::string& cmd, Output output = Output::SHOWN);

// The variable's value, or fallback when it is unset or empty.
std::string env_or(const char* name, const char* fallback);

// The variable's value read as a decimal number, or fallback when it is
// unset or empty.
unsigned long long env_number(const char* name, unsigned long long fallback);

// A number of rounds or runs from the variable: at least 1, fallback when
// the variable is unset or empty.
int env_count(const char* name, int fallback);

// The peak resident memory of this process so far, in KiB.
long peak_rss_kib();

// A new directory PARENT/NAME-XXXXXX with a unique suffix, made by
// mkdtemp(3); empty when it cannot be made.
std::string make_temp_dir(const std::string& parent, const std::string& name);

// A new scratch directory /tmp/NAME-XXXXXX. Ends the program when it cannot
// be made.
std::string scratch_dir(const std::string& name);

// Points this process's host at a scratch installation under dir: its
// agent state in DIR/state and its root prefix DIR/root, both made here.
// Then registers a file:// pool at pool_dir under pool_uuid (the pool's
// directory is not made); answers whether that registration succeeded.
bool use_scratch_host(const std::string& dir, const std::string& pool_uuid, const std::string& pool_dir);

// What a benchmark's child run (the program re-executed, so that its time
// and peak memory are its own) reports on its stdout in one line: the
// seconds its measured step took, the bytes it stored and its peak RSS.
struct Child_Report {
  double seconds = -1;
  unsigned long long bytes = 0;
  long peak_kib = 0;
};

// Prints the report line of a child run: seconds, bytes and this process's
// peak RSS in KiB.
void print_child_report(double seconds, unsigned long long bytes);

// Runs the child command and reads its report line into report. Answers
// false when the command cannot be started, does not exit 0 or reports no
// complete line.
bool run_child(const std::string& cmd, Child_Report& report);

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
