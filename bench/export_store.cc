// The storing step of a logical backup: the module's export (osrexp) dumps
// several simulated tables into a directory once, then the host's file-set
// writer (MTF_Backup, no compression) stores that directory into a file://
// pool, against `tar cf POOL/x.tar DIR` of the same directory into the same
// pool, measured in the same run. The writer syncs what it stores before it
// publishes it, so `tar cf ... && sync POOL/x.tar` is shown as a second
// baseline that pays for the same durability. Both sides run as their own
// processes (the writer in this program re-executed) and are timed from
// here, in alternating order, with no dirty pages left before each run;
// the ratios are throughput ratios (writer / tool), medians of the rounds.
// The peak memory of the writer's process is taken once for the small and
// once for the large dump directory.
// Sizes: BENCH_SIZE (default 1G) and BENCH_SMALL_SIZE (64M) of dumps, each
// in 4 tables of 1024-byte rows; BENCH_ROUNDS (3).
//   bench_export_store                        runs everything, prints the ratios
//   bench_export_store store STATE DIR SETID  one writer run; prints seconds,
//                                             bytes stored and peak RSS in KiB

#include <ace/Log_Msg.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/fileset/mtf_backup.h"
#include "oscar/utils.h"

using bench::median;
using bench::now_s;
using bench::Output;
using bench::sh;
using bench::sim_path;
using bench::time_command;

namespace {

const int TABLES = 4;
const unsigned long long ROW_BYTES = 1024;

// "1G", "64M", "512K" or plain bytes.
unsigned long long parse_size(const std::string& text) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  switch (end && *end ? *end : ' ') {
    case 'G':
    case 'g': v <<= 30; break;
    case 'M':
    case 'm': v <<= 20; break;
    case 'K':
    case 'k': v <<= 10; break;
    default: break;
  }
  return v;
}

unsigned long long dir_bytes(const std::string& dir) {
  unsigned long long total = 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* e = ::readdir(d)) {
    struct stat st;
    if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<unsigned long long>(st.st_size);
  }
  ::closedir(d);
  return total;
}

const char* const POOL_UUID = "pool-1";

// One writer run in this process: stores dir as set set_id into the pool
// registered in the state directory. Prints the seconds backup() took, the
// bytes stored and the process's peak RSS in KiB.
int store_child(const std::string& state, const std::string& dir, const std::string& set_id) {
  set_agent_state_dir(state);
  MTF::Metadata meta;
  MTF_Backup writer(nullptr, meta, ACE_Log_Msg_Callback_var());
  writer.pool_uuid(POOL_UUID);
  writer.host_uuid("host-1");
  writer.minor_resource_id("def-1");
  writer.uuid(set_id);
  writer.compression(MTF::COMPRESSION_NONE);
  writer.add_source(dir);
  const double t0 = now_s();
  if (!writer.backup()) {
    std::fprintf(stderr, "the writer failed: %s\n", writer.error().c_str());
    return 1;
  }
  bench::print_child_report(now_s() - t0, writer.size());
  return 0;
}

// A writer run timed from here (wall, -1 when it failed) with the child's
// own report (the seconds backup() took, bytes stored, peak RSS).
struct Store_Run {
  double wall = -1;
  bench::Child_Report child;
};

// Runs the writer in a child process (this program re-executed) and times
// it from here, as the tool is timed.
Store_Run run_store(const std::string& state, const std::string& dir, const std::string& set_id) {
  Store_Run r;
  const double t0 = now_s();
  if (bench::run_child(bench::self_path() + " store " + state + " " + dir + " " + set_id, r.child)) {
    r.wall = now_s() - t0;
  }
  return r;
}

// A simulated instance with two sets of tables, exported by the module into
// one directory per set, and a file:// pool registered in an agent state
// directory; all under one scratch directory.
struct Bench_Setup {
  std::string dir, home, state, pool;

  Bench_Setup() {
    dir = bench::scratch_dir("export-store-bench");
    home = dir + "/home";
    state = dir + "/state";
    pool = dir + "/pool";
    if (!bench::use_scratch_host(dir, POOL_UUID, pool) || mkdir_p(pool) != 0 ||
        !sh(sim_path() + " init " + home + " --instance DB1 --port " + std::to_string(39000 + ::getpid() % 20000) +
                " --user dba --password benchpw",
            Output::DISCARDED) ||
        !sh(sim_path() + " start " + home + " --instance DB1", Output::DISCARDED)) {
      std::fprintf(stderr, "cannot set up the instance and the pool in %s\n", dir.c_str());
      std::exit(1);
    }
  }
  ~Bench_Setup() {
    sh(sim_path() + " stop " + home + " --instance DB1", Output::DISCARDED);
    rm_rf(dir);
  }

  // Makes TABLES tables in schema holding `bytes` of rows in all and exports
  // them, one dump file each, into DIR/schema-lower-case; answers that
  // directory. Prints the export's time.
  std::string export_tables(const std::string& schema, unsigned long long bytes) {
    std::string name = schema;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string out = dir + "/dumps-" + name;
    mkdir_p(out);
    Backup_Input input;
    input.oscar_home = home;
    input.instance = "DB1";
    input.username = "dba";
    input.password = "benchpw";
    const unsigned long long rows = std::max(1ULL, bytes / TABLES / (ROW_BYTES + 1));
    for (int i = 1; i <= TABLES; ++i) {
      const std::string table = "T" + std::to_string(i);
      if (!sh(sim_path() + " create-table " + home + " --instance DB1 " + schema + "." + table + " --rows " +
                  std::to_string(rows) + " --row-bytes " + std::to_string(ROW_BYTES),
              Output::DISCARDED)) {
        std::fprintf(stderr, "cannot make table %s.%s\n", schema.c_str(), table.c_str());
        std::exit(1);
      }
      input.files.push_back({"DB1", schema, table, out + "/" + schema + "_" + table + ".dmp"});
    }
    const double t0 = now_s();
    if (!backup(&input)) {
      std::fprintf(stderr, "the export of %s failed\n", schema.c_str());
      std::exit(1);
    }
    std::printf("export %s: %d dump files, %.1f MB in %.2f s\n", schema.c_str(), TABLES, dir_bytes(out) / 1e6,
                now_s() - t0);
    return out;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "store") return store_child(argv[2], argv[3], argv[4]);
  const std::string size = bench::env_or("BENCH_SIZE", "1G");
  const std::string small = bench::env_or("BENCH_SMALL_SIZE", "64M");
  const int rounds = bench::env_count("BENCH_ROUNDS", 3);
  // The export's own log lines would drown the results.
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);

  Bench_Setup setup;
  const std::string big_dir = setup.export_tables("BIG", parse_size(size));
  const std::string small_dir = setup.export_tables("SMALL", parse_size(small));
  const double mb = static_cast<double>(dir_bytes(big_dir)) / 1e6;
  // Warm-up: brings the dumps into the page cache for every run.
  time_command("cat " + big_dir + "/* > /dev/null", Output::DISCARDED);

  std::vector<double> tar_ratio, tar_sync_ratio, tar_t, tar_sync_t, store_t, store_inner_t;
  for (int r = 0; r < rounds; ++r) {
    // The order alternates, so that neither side always follows the same
    // one. Each timed run starts with no dirty pages left by the one
    // before, so that none pays for another's write-back. Outputs stay
    // until the end: on a file system that discards freed blocks, a
    // removal slows down the writes that follow it.
    const std::string tag = std::to_string(r);
    const std::string tar = "tar cf " + setup.pool + "/x" + tag + ".tar " + big_dir;
    const std::string tar_sync =
        "{ tar cf " + setup.pool + "/y" + tag + ".tar " + big_dir + " && sync " + setup.pool + "/y" + tag + ".tar; }";
    double t_tar = 0, t_tar_sync = 0;
    Store_Run s;
    if (r % 2 == 0) {
      ::sync();
      t_tar = time_command(tar, Output::DISCARDED);
      ::sync();
      t_tar_sync = time_command(tar_sync, Output::DISCARDED);
      ::sync();
      s = run_store(setup.state, big_dir, "set-" + tag);
    } else {
      ::sync();
      s = run_store(setup.state, big_dir, "set-" + tag);
      ::sync();
      t_tar_sync = time_command(tar_sync, Output::DISCARDED);
      ::sync();
      t_tar = time_command(tar, Output::DISCARDED);
    }
    if (s.wall < 0) {
      std::fprintf(stderr, "the writer's run failed\n");
      return 1;
    }
    std::printf(
        "round %d: tar %.0f MB/s, tar+sync %.0f MB/s, writer %.0f MB/s (backup() alone %.0f MB/s); "
        "ratio %.2f to tar, %.2f to tar+sync\n",
        r + 1, mb / t_tar, mb / t_tar_sync, mb / s.wall, mb / s.child.seconds, t_tar / s.wall, t_tar_sync / s.wall);
    tar_t.push_back(t_tar);
    tar_sync_t.push_back(t_tar_sync);
    store_t.push_back(s.wall);
    store_inner_t.push_back(s.child.seconds);
    tar_ratio.push_back(t_tar / s.wall);
    tar_sync_ratio.push_back(t_tar_sync / s.wall);
  }
  std::printf("store %s of dumps (%.1f MB, %d files), %d rounds, medians:\n", size.c_str(), mb, TABLES, rounds);
  std::printf("  tar cf:            %8.0f MB/s\n", mb / median(tar_t));
  std::printf("  tar cf && sync:    %8.0f MB/s\n", mb / median(tar_sync_t));
  std::printf("  MTF_Backup:        %8.0f MB/s (backup() alone %.0f MB/s)\n", mb / median(store_t),
              mb / median(store_inner_t));
  std::printf("  writer / tar:      %8.2f\n", median(tar_ratio));
  std::printf("  writer / tar+sync: %8.2f\n", median(tar_sync_ratio));

  const Store_Run rss_small = run_store(setup.state, small_dir, "rss-small");
  const Store_Run rss_big = run_store(setup.state, big_dir, "rss-big");
  if (rss_small.wall < 0 || rss_big.wall < 0) {
    std::fprintf(stderr, "the writer's run failed\n");
    return 1;
  }
  std::printf("peak RSS of the writer: %s of dumps %ld KiB, %s of dumps %ld KiB, difference %ld KiB\n", small.c_str(),
              rss_small.child.peak_kib, size.c_str(), rss_big.child.peak_kib,
              rss_big.child.peak_kib - rss_small.child.peak_kib);
  return 0;
}
