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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The build tree: this program lives in BUILD/bench.
std::string build_dir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  const std::string self(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  const std::string bench_dir = self.substr(0, self.rfind('/'));
  return bench_dir.substr(0, bench_dir.rfind('/'));
}

std::string env_or(const char* name, const char* otherwise) {
  const char* v = std::getenv(name);
  return v && *v ? v : otherwise;
}

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

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Runs a shell command with its output discarded; answers whether it exited 0.
bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

bool write_password(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  const bool ok = f && std::fputs("bench-pw-1", f) >= 0;
  return (f && std::fclose(f) == 0) && ok;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Bench {
  std::string build = build_dir();
  std::string sim = build + "/sim/oscar-sim";
  std::string dir, home, state, agent;

  Bench() {
    char tmpl[] = "/tmp/restore-verify-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    dir = tmpl;
    home = dir + "/home";
    state = dir + "/state";
    agent = build + "/agent/oscar-agent";
  }
  ~Bench() {
    sh(sim + " stop " + home + " --instance DB1");
    sh("rm -rf " + dir);
  }

  bool run_agent(const std::string& args) { return sh(agent + " " + args + " --state " + state); }

  void setup(const std::string& size, const std::string& compression) {
    const bool ok = sh(sim + " init " + home + " --instance DB1 --port " + std::to_string(free_port()) +
                       " --user dba --password bench-pw-1 --size " + size) &&
                    sh(sim + " start " + home + " --instance DB1") && write_password(dir + "/pw") &&
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
  const std::string size = env_or("BENCH_SIZE", "256M");
  const std::string compression = env_or("BENCH_COMPRESSION", "none");
  const int rounds = std::max(1, std::atoi(env_or("BENCH_ROUNDS", "3").c_str()));
  Bench b;
  b.setup(size, compression);
  std::vector<double> checked, unchecked, verify_only;
  for (int i = 0; i < rounds; ++i) {
    // Alternate the order, so that neither side always finds a warm cache.
    if (i % 2 == 0) {
      checked.push_back(b.timed("restore DB1"));
      unchecked.push_back(b.timed("restore DB1 --no-verify"));
    } else {
      unchecked.push_back(b.timed("restore DB1 --no-verify"));
      checked.push_back(b.timed("restore DB1"));
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
