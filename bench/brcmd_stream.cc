// Throughput of the physical backup copy and the restore feed against
// plain cat through the same fifo, and the peak memory of a backup as the
// stream grows. The backup is also set against cat followed by a sync of
// its output, since a backup syncs the set before it records it: on a disk
// the cat without it only fills the page cache. Sizes: BENCH_SIZE (default 2G), BENCH_SMALL_SIZE (64M);
// BENCH_ROUNDS (3) rounds of both sides in alternating order, ratios medians.
// BENCH_POOL_DIR puts the pool and cat's output in a directory of their own
// (for example on /dev/shm, where the copy is bound by the processor rather
// than the disk); each output is then removed once it has been timed (the
// module's after the restore feed has read it).
//   bench_brcmd_stream            runs everything and prints the ratios
//   bench_brcmd_stream rss SIZE   one backup of SIZE; prints the peak RSS in KiB

#include "oscar/brcmd_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_util.h"
#include "host/base/fs_util.h"
#include "host/base/sleep.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_handler.h"
#include "host/services/instance_manager.h"
#include "host/storage/client_io_ex.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_restore_feed.h"
#include "oscar/oscar_job_creator.h"

using bench::median;
using bench::now_s;
using bench::peak_rss_kib;
using bench::sh;
using bench::sim_path;

namespace {

// A scratch setup: a simulated home with one instance of `size`, an agent
// state directory and a file:// pool, all under one directory.
struct Bench_Setup {
  std::string dir, home, out, pool;
  int cat_runs = 0;
  explicit Bench_Setup(const std::string& size) {
    dir = bench::scratch_dir("brcmd-bench");
    home = dir + "/home";
    out = dir;
    if (const char* pool_dir = std::getenv("BENCH_POOL_DIR")) {
      out = bench::make_temp_dir(pool_dir, "brcmd-bench-out");
      if (out.empty()) out = dir;
    }
    pool = out + "/pool";
    bench::use_scratch_host(dir, "pool-1", pool);
    set_host_sleep_scale(0);
    if (!sh(sim_path() + " init " + home + " --instance db1 --port 39917 --user dba --password benchpw --size " +
            size)) {
      std::fprintf(stderr, "cannot make the simulated instance\n");
      std::exit(1);
    }
    sh(sim_path() + " start " + home + " --instance db1");
    Instance inst;
    inst.type = "oscar";
    inst.name = "db1";
    inst.options["oscar_home"] = home;
    Instance_Manager::instance()->add_instance(inst);
    Instance_Manager::instance()->set_account("oscar", "db1", "", "dba", secure_string("benchpw"));
  }
  ~Bench_Setup() {
    sh(sim_path() + " stop " + home + " --instance db1");
    rm_rf(out);
    rm_rf(dir);
  }

  // One full backup through the module, as the host runs it. Answers the
  // stored file's path, or empty on failure.
  std::string backup() {
    Job_Definition_var def(new Job_Definition());
    def->type(JOB_DEFINITION_BACKUP);
    def->subtype(JOB_DEFINITION_SUBTYPE_FULL);
    def->id("bench");
    def->uid("0b6d3a7e-2f11-4c55-9e1a-7d2c3b4a5f60");
    oscar::Backup_Job_Source* src = new oscar::Backup_Job_Source();
    src->id("res");
    src->entries().push_back("oscar/db1/db1");
    def->source(Job_Definition::Source_var(src));
    def->options(Job_Definition::Options_var(new oscar::Backup_Job_Options()));
    def->target().id("pool-1");
    Job_var job = oscar::Oscar_Job_Creator().create(def);
    if (job.get() == nullptr || job->start() != 0 || !job->wait_for_completion(ACE_Time_Value(3600)) ||
        job->activity().state.load() != JOB_STATE_COMPLETED) {
      return std::string();
    }
    std::string name;
    if (std::FILE* p = ::popen(("ls -t " + pool + "/res").c_str(), "r")) {
      char line[512];
      if (std::fgets(line, sizeof line, p)) name = line;
      ::pclose(p);
    }
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name.empty() ? name : pool + "/res/" + name;
  }

  std::string cat_output(int run) const { return out + "/cat_out" + std::to_string(run); }

  // The same brcmd writing into a fifo that cat copies into a file; with
  // durable, the time includes syncing the file, as the module's store does
  // before it publishes a set.
  double cat_backup(bool durable = false) {
    const std::string fifo = dir + "/cat_fifo";
    ::mkfifo(fifo.c_str(), 0600);
    const std::string output = cat_output(++cat_runs);
    const double t0 = now_s();
    sh(home + "/bin/brcmd -O backup -d db1 -u dba -p benchpw -P 39917 -t full -k pipe -f " + fifo + " -e " + dir +
       "/cat.log & cat " + fifo + " > " + output + "; wait" + (durable ? "; sync " + output : std::string()));
    const double t = now_s() - t0;
    ::unlink(fifo.c_str());
    // In memory, an output kept would take memory from the page cache that
    // holds the instance's files.
    if (out != dir) ::unlink(output.c_str());
    return t;
  }
};

int rss_child(const std::string& size) {
  Bench_Setup setup(size);
  const long before = peak_rss_kib();
  if (setup.backup().empty()) return 1;
  std::printf("%ld %ld\n", before, peak_rss_kib());
  return 0;
}

long rss_of(const std::string& self, const std::string& size) {
  long before = 0, after = 0;
  if (std::FILE* p = ::popen((self + " rss " + size).c_str(), "r")) {
    if (std::fscanf(p, "%ld %ld", &before, &after) != 2) after = -1;
    ::pclose(p);
  }
  return after;
}

// cat feeding the stored file into a fifo that another cat drains.
double cat_feed(const Bench_Setup& setup, const std::string& stored) {
  const std::string fifo = setup.dir + "/feed_fifo";
  ::mkfifo(fifo.c_str(), 0600);
  const double t0 = now_s();
  sh("cat " + fifo + " > /dev/null & cat " + stored + " > " + fifo + "; wait");
  const double t = now_s() - t0;
  ::unlink(fifo.c_str());
  return t;
}

// The module's restore feed of the stored file into a fifo that cat drains.
// Answers the time, or a negative value when the feed failed.
double module_feed(const Bench_Setup& setup, const std::string& stored, std::uint64_t size) {
  const std::string fifo = setup.dir + "/feed_fifo";
  ::mkfifo(fifo.c_str(), 0600);
  Client_IO_Ex io;
  Client_IO_Base::Options opts;
  opts.compression_method = COMPR_AUTO;
  io.connect("file://" + stored.substr(0, stored.rfind('/')), opts);
  const std::string name = stored.substr(stored.rfind('/') + 1);
  io.open(name.c_str(), Client_IO_Ex::MODE_READ);
  Job_Definition_var def(new Job_Definition());
  def->id("bench-feed");
  def->type(JOB_DEFINITION_RESTORE);
  Job_var job = oscar::Oscar_Job_Creator().create(def);
  Job_Event_Handler events(*job);
  oscar::Stream_Progress progress(events, size);
  const double t0 = now_s();
  std::thread reader([&]() { sh("cat " + fifo + " > /dev/null"); });
  const int fd = oscar::open_fifo_for_writing(fifo, []() { return true; });
  const bool fed = fd >= 0 && oscar::feed_backup_set(*job, io, name, fd, fifo, progress, size);
  if (fd >= 0) ::close(fd);
  reader.join();
  const double t = now_s() - t0;
  ::unlink(fifo.c_str());
  return fed ? t : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "rss") return rss_child(argv[2]);
  const std::string size = bench::env_or("BENCH_SIZE", "2G");
  const std::string small = bench::env_or("BENCH_SMALL_SIZE", "64M");
  const int rounds = bench::env_count("BENCH_ROUNDS", 3);
  const std::string self = bench::self_path();

  {
    Bench_Setup setup(size);
    // Warm-up: brings the data files into the page cache for every run.
    setup.cat_backup();
    std::vector<double> backup_ratio, durable_ratio, feed_ratio;
    double cat_rate = 0, cat_sync_rate = 0, module_rate = 0, cat_feed_rate = 0, module_feed_rate = 0;
    for (int r = 0; r < rounds; ++r) {
      // The order alternates, so that neither side always runs on a cache
      // the other one warmed.
      // Each timed run starts with no dirty pages left by the one before,
      // so that neither pays for the other's write-back. Outputs stay until
      // the end: on a file system that discards freed blocks, a removal
      // slows down the writes that follow it.
      const bool cat_first = r % 2 == 0;
      ::sync();
      double cat_t = cat_first ? setup.cat_backup() : 0;
      ::sync();
      double cat_sync_t = cat_first ? setup.cat_backup(true) : 0;
      ::sync();
      const double t0 = now_s();
      const std::string stored = setup.backup();
      const double mod_t = now_s() - t0;
      ::sync();
      if (!cat_first) cat_sync_t = setup.cat_backup(true);
      ::sync();
      if (!cat_first) cat_t = setup.cat_backup();
      if (stored.empty()) {
        std::fprintf(stderr, "backup failed\n");
        return 1;
      }
      struct stat st;
      ::stat(stored.c_str(), &st);
      const double mb = static_cast<double>(st.st_size) / 1e6;
      double cat_f = cat_first ? cat_feed(setup, stored) : 0;
      const double mod_f = module_feed(setup, stored, static_cast<std::uint64_t>(st.st_size));
      if (!cat_first) cat_f = cat_feed(setup, stored);
      if (mod_f < 0) {
        std::fprintf(stderr, "restore feed failed\n");
        return 1;
      }
      std::printf(
          "round %d: backup cat %.0f MB/s, cat+sync %.0f MB/s, module %.0f MB/s (%.2f, %.2f); feed cat %.0f MB/s "
          "module %.0f MB/s (%.2f)\n",
          r + 1, mb / cat_t, mb / cat_sync_t, mb / mod_t, cat_t / mod_t, cat_sync_t / mod_t, mb / cat_f, mb / mod_f,
          cat_f / mod_f);
      backup_ratio.push_back(cat_t / mod_t);
      durable_ratio.push_back(cat_sync_t / mod_t);
      cat_sync_rate += mb / cat_sync_t / rounds;
      if (setup.out != setup.dir) {
        ::unlink(stored.c_str());
      }
      feed_ratio.push_back(cat_f / mod_f);
      cat_rate += mb / cat_t / rounds;
      module_rate += mb / mod_t / rounds;
      cat_feed_rate += mb / cat_f / rounds;
      module_feed_rate += mb / mod_f / rounds;
    }
    std::printf(
        "backup %s: cat %.0f MB/s, cat+sync %.0f MB/s, module %.0f MB/s (means), ratio to cat %.2f, to cat+sync %.2f "
        "(medians of %d)\n",
        size.c_str(), cat_rate, cat_sync_rate, module_rate, median(backup_ratio), median(durable_ratio), rounds);
    std::printf("restore feed %s: cat %.0f MB/s, module %.0f MB/s (means), ratio %.2f (median of %d)\n", size.c_str(),
                cat_feed_rate, module_feed_rate, median(feed_ratio), rounds);
  }

  const long rss_small = rss_of(self, small);
  const long rss_big = rss_of(self, size);
  std::printf("peak RSS: %s backup %ld KiB, %s backup %ld KiB, difference %ld KiB\n", small.c_str(), rss_small,
              size.c_str(), rss_big, rss_big - rss_small);
  return 0;
}
