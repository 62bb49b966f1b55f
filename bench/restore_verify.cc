// Cost of the check a restore makes before it stops the instance: the same
// backup set restored through the agent program with and without
// --no-verify, in alternating order, and the agent's verify command alone.
// Size: BENCH_SIZE (default 256M) of instance data; BENCH_ROUNDS (3)
// rounds; BENCH_COMPRESSION (none) for the backup. Prints the medians and
// the ratio of a checked restore to an unchecked one.
//   bench_restore_verify

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"

using bench::median;
using bench::now_s;
using bench::Output;
using bench::sh;

namespace {

// A local TCP port free right now, for the simulated server.
int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

bool write_password(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  const bool ok = f && std::fputs("bench-pw-1", f) >= 0;
  return (f && std::fclose(f) == 0) && ok;
}

struct Bench {
  const std::string build = bench::build_dir();
  const std::string sim = bench::sim_path();
  const std::string agent = build + "/agent/oscar-agent";
  const std::string dir = bench::scratch_dir("restore-verify-bench");
  const std::string home = dir + "/home";
  const std::string state = dir + "/state";

  ~Bench() {
    sh(sim + " stop " + home + " --instance DB1", Output::DISCARDED);
    sh("rm -rf " + dir, Output::DISCARDED);
  }

  bool run_agent(const std::string& args) { return sh(agent + " " + args + " --state " + state, Output::DISCARDED); }

  void setup(const std::string& size, const std::string& compression) {
    const bool ok = sh(sim + " init " + home + " --instance DB1 --port " + std::to_string(free_port()) +
                           " --user dba --password bench-pw-1 --size " + size,
                       Output::DISCARDED) &&
                    sh(sim + " start " + home + " --instance DB1", Output::DISCARDED) && write_password(dir + "/pw") &&
                    run_agent("instance add DB1 --home " + home + " --user dba --password-file " + dir + "/pw") &&
                    run_agent("pool add p1 --url file://" + dir + "/pool") &&
                    run_agent("backup DB1 --type full --pool p1 --compression " + compression);
    if (!ok) {
      std::fprintf(stderr, "cannot set up the instance and its backup in %s\n", dir.c_str());
      std::exit(1);
    }
  }

  // Seconds one agent command took; exits on failure.
  double timed(const std::string& args) {
    const double t0 = now_s();
    if (!run_agent(args)) {
      std::fprintf(stderr, "oscar-agent %s failed\n", args.c_str());
      std::exit(1);
    }
    return now_s() - t0;
  }
};

}  // namespace

int main() {
  const std::string size = bench::env_or("BENCH_SIZE", "256M");
  const std::string compression = bench::env_or("BENCH_COMPRESSION", "none");
  const int rounds = bench::env_count("BENCH_ROUNDS", 3);
  Bench b;
  b.setup(size, compression);
  std::vector<double> checked, unchecked, verify_only;
  for (int i = 0; i < rounds; ++i) {
    // Alternate the order, so that neither side always finds a warm cache.
    if (i % 2 == 0) {
      checked.push_back(b.timed("restore DB1 --force"));
      unchecked.push_back(b.timed("restore DB1 --force --no-verify"));
    } else {
      unchecked.push_back(b.timed("restore DB1 --force --no-verify"));
      checked.push_back(b.timed("restore DB1 --force"));
    }
    verify_only.push_back(b.timed("verify DB1"));
  }
  const double c = median(checked), u = median(unchecked), v = median(verify_only);
  std::printf("instance %s, compression %s, %d rounds (medians)\n", size.c_str(), compression.c_str(), rounds);
  std::printf("restore, checked:      %8.3f s\n", c);
  std::printf("restore, --no-verify:  %8.3f s\n", u);
  std::printf("verify command alone:  %8.3f s\n", v);
  std::printf("checked / unchecked:   %8.3f\n", u > 0 ? c / u : 0.0);
  return 0;
}
