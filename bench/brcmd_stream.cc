// Throughput of the physical backup copy and the restore feed against
// plain cat through the same fifo, and the peak memory of a backup as the
// stream grows. Sizes: BENCH_SIZE (default 2G), BENCH_SMALL_SIZE (64M).
//   bench_brcmd_stream            runs everything and prints the ratios
//   bench_brcmd_stream rss SIZE   one backup of SIZE; prints the peak RSS in KiB

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/agent_state.h"
#include "host/client_io_ex.h"
#include "host/fs_util.h"
#include "host/instance_manager.h"
#include "host/job.h"
#include "host/job_definition.h"
#include "host/job_event_handler.h"
#include "host/pool_info.h"
#include "host/sleep.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/brcmd_restore_feed.h"
#include "oscar/brcmd_stream.h"
#include "oscar/oscar_job_creator.h"

namespace {

// This program's path; the simulator is built beside it, in BUILD/sim.
std::string self_path() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string sim_path() {
  const std::string self = self_path();
  const std::string bench_dir = self.substr(0, self.rfind('/'));
  return bench_dir.substr(0, bench_dir.rfind('/')) + "/sim/oscar-sim";
}

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// A scratch setup: a simulated home with one instance of `size`, an agent
// state directory and a file:// pool, all under one directory.
struct Bench_Setup {
  std::string dir, home, pool;
  explicit Bench_Setup(const std::string& size) {
    char tmpl[] = "/tmp/brcmd-bench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    home = dir + "/home";
    pool = dir + "/pool";
    mkdir_p(dir + "/state");
    mkdir_p(dir + "/root");
    set_agent_state_dir(dir + "/state");
    set_host_root_prefix(dir + "/root");
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
    Pool_Info p;
    p.uuid = "pool-1";
    p.url = "file://" + pool;
    add_pool(p);
  }
  ~Bench_Setup() {
    sh(sim_path() + " stop " + home + " --instance db1");
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
    if (std::FILE* p = ::popen(("ls " + pool + "/res").c_str(), "r")) {
      char line[512];
      if (std::fgets(line, sizeof line, p)) name = line;
      ::pclose(p);
    }
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name.empty() ? name : pool + "/res/" + name;
  }

  // The same brcmd writing into a fifo that cat copies into a file.
  double cat_backup() {
    const std::string fifo = dir + "/cat_fifo";
    ::mkfifo(fifo.c_str(), 0600);
    const double t0 = now_s();
    sh(home + "/bin/brcmd -O backup -d db1 -u dba -p benchpw -P 39917 -t full -k pipe -f " + fifo + " -e " + dir +
       "/cat.log & cat " + fifo + " > " + dir + "/cat_out; wait");
    const double t = now_s() - t0;
    ::unlink(fifo.c_str());
    ::unlink((dir + "/cat_out").c_str());
    return t;
  }
};

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

long peak_rss_kib() {
  struct rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "rss") return rss_child(argv[2]);
  const std::string size = env_or("BENCH_SIZE", "2G");
  const std::string small = env_or("BENCH_SMALL_SIZE", "64M");
  const std::string self = self_path();

  {
    Bench_Setup setup(size);
    const double cat_t = setup.cat_backup();
    const double t0 = now_s();
    const std::string stored = setup.backup();
    const double mod_t = now_s() - t0;
    if (stored.empty()) {
      std::fprintf(stderr, "backup failed\n");
      return 1;
    }
    struct stat st;
    ::stat(stored.c_str(), &st);
    const double mb = static_cast<double>(st.st_size) / 1e6;
    std::printf("backup %s: cat %.0f MB/s, module %.0f MB/s, ratio %.2f\n", size.c_str(), mb / cat_t, mb / mod_t,
                cat_t / mod_t);

    const std::string fifo = setup.dir + "/feed_fifo";
    ::mkfifo(fifo.c_str(), 0600);
    double c0 = now_s();
    sh("cat " + fifo + " > /dev/null & cat " + stored + " > " + fifo + "; wait");
    const double cat_feed = now_s() - c0;

    Client_IO_Ex io;
    Client_IO_Base::Options opts;
    opts.compression_method = COMPR_AUTO;
    io.connect("file://" + setup.pool + "/res", opts);
    const std::string name = stored.substr(stored.rfind('/') + 1);
    io.open(name.c_str(), Client_IO_Ex::MODE_READ);
    Job_Definition_var def(new Job_Definition());
    def->id("bench-feed");
    Job_var job = oscar::Oscar_Job_Creator().create([&]() {
      def->type(JOB_DEFINITION_RESTORE);
      return def;
    }());
    Job_Event_Handler events(*job);
    oscar::Stream_Progress progress(events, static_cast<std::uint64_t>(st.st_size));
    c0 = now_s();
    std::thread reader([&]() { sh("cat " + fifo + " > /dev/null"); });
    const int fd = oscar::open_fifo_for_writing(fifo, []() { return true; });
    const bool fed = fd >= 0 && oscar::feed_backup_set(*job, io, name, fd, progress,
                                                                static_cast<std::uint64_t>(st.st_size));
    if (fd >= 0) ::close(fd);
    reader.join();
    const double mod_feed = now_s() - c0;
    std::printf("restore feed %s: cat %.0f MB/s, module %.0f MB/s, ratio %.2f%s\n", size.c_str(), mb / cat_feed,
                mb / mod_feed, cat_feed / mod_feed, fed ? "" : " (feed failed)");
  }

  const long rss_small = rss_of(self, small);
  const long rss_big = rss_of(self, size);
  std::printf("peak RSS: %s backup %ld KiB, %s backup %ld KiB, difference %ld KiB\n", small.c_str(), rss_small,
              size.c_str(), rss_big, rss_big - rss_small);
  return 0;
}
