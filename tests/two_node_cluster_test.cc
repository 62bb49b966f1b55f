// Two agents on this machine playing the two nodes of one clustered
// instance. Each node lives in a network namespace of its own (its own
// loopback, on which its simulated server listens, and its own address,
// by which the module finds the node in the cluster's node list), joined
// to this namespace by a veth pair; the real coordinator listens here on
// node 1's link, and both nodes reach it at the same url.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

const std::string AGENT = OSCAR_BUILD_DIR "/agent/oscar-agent";
const std::string TOKEN = "c1u5ter-t0ken-of-the-test";
const std::string VIRTUAL_ADDRESS = "198.51.100.10";
// The coordinator's rounds: short, yet long enough for both nodes to ask
// in one round when they start together on a busy machine.
const int ROUND_SECONDS = 3;
// Jobs both nodes start together, of each kind.
const int ROUNDS = 10;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string ip_program() { return ::access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip" : "/sbin/ip"; }

// Address `host` (1 or 2) of the /30 numbered `index`, in 10.128.0.0/15.
std::string subnet_address(unsigned index, int host) {
  return "10." + std::to_string(128 + index / 16384) + "." + std::to_string((index % 16384) / 64) + "." +
         std::to_string((index % 64) * 4 + host);
}

// A network namespace joined to this one by a veth pair on a /30 of its
// own, its default route through that link. Removed with its link when the
// object goes away.
class Net_Namespace {
 public:
  Net_Namespace(const std::string& name, unsigned subnet) : name_(name), link_(name + "o") {
    outside_ = subnet_address(subnet, 1);
    inside_ = subnet_address(subnet, 2);
    const std::string ip = ip_program();
    const std::vector<std::vector<std::string>> steps = {
        {ip, "netns", "add", name_},
        {ip, "link", "add", link_, "type", "veth", "peer", "name", "eth1", "netns", name_},
        {ip, "addr", "add", outside_ + "/30", "dev", link_},
        {ip, "link", "set", link_, "up"},
        {ip, "-n", name_, "addr", "add", inside_ + "/30", "dev", "eth1"},
        {ip, "-n", name_, "link", "set", "eth1", "up"},
        {ip, "-n", name_, "link", "set", "lo", "up"},
        {ip, "-n", name_, "route", "add", "default", "via", outside_}};
    for (const auto& step : steps) {
      const Run_Result r = run_program(step, {}, 10000);
      if (r.status != 0) {
        error_ = step[1] + " " + step[2] + ": " + r.err;
        return;
      }
      made_ = true;
    }
  }
  ~Net_Namespace() {
    if (!made_) return;
    run_program({ip_program(), "link", "del", link_}, {}, 10000);
    run_program({ip_program(), "netns", "del", name_}, {}, 10000);
  }
  Net_Namespace(const Net_Namespace&) = delete;
  Net_Namespace& operator=(const Net_Namespace&) = delete;

  // Empty when the namespace and its link were made.
  const std::string& error() const { return error_; }
  const std::string& outside() const { return outside_; }  // this namespace's end of the link
  const std::string& inside() const { return inside_; }    // the node's address

  Run_Result run(std::vector<std::string> argv, int timeout_ms = 120000) const {
    argv.insert(argv.begin(), {ip_program(), "netns", "exec", name_});
    return run_program(argv, {}, timeout_ms);
  }

 private:
  std::string name_, link_, outside_, inside_, error_;
  bool made_ = false;
};

// The real coordinator on `address`; killed and reaped when it goes away.
class Coordinator {
 public:
  Coordinator(const std::string& address, const std::string& token_file, const std::string& log)
      : address_(address), port_(free_port()) {
    std::vector<std::string> args = {AGENT,          "coordinator", "--listen", address + ":" + std::to_string(port_),
                                     "--token-file", token_file,    "--round",  std::to_string(ROUND_SECONDS)};
    pid_ = spawn_program(args, log);
  }
  ~Coordinator() { stop(); }

  std::string url() const { return "http://" + address_ + ":" + std::to_string(port_); }

  // Whether it accepts connections within a few seconds.
  bool listening() const {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    inet_pton(AF_INET, address_.c_str(), &to.sin_addr);
    for (int i = 0; i < 250 && pid_ > 0; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
      ::close(fd);
      if (up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::string address_;
  uint16_t port_;
  pid_t pid_ = -1;
};

// One node: its namespace, its home with the simulated instance DB1, its
// agent's state directory and pool.
struct Node {
  Node(const Temp_Dir& dir, const std::string& name, unsigned subnet)
      : ns(name, subnet),
        home(dir / (name + "-home"), "DB1", "sysdba", "Cl-pass-71"),
        state(dir / (name + "-state")),
        pool(dir / (name + "-pool")) {}

  Run_Result agent(std::vector<std::string> args) const {
    args.insert(args.begin(), AGENT);
    args.insert(args.end(), {"--state", state});
    return ns.run(args);
  }
  // The sets of DB1 in this node's catalogue.
  std::size_t catalogued() const {
    const Run_Result r = agent({"catalog", "DB1", "--json"});
    const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
    return doc.is_object() && doc["backups"].is_array() ? doc["backups"].size() : 0;
  }

  Net_Namespace ns;
  Sim_Home home;
  std::string state, pool;
};

class TwoNodeCluster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access(ip_program().c_str(), X_OK) != 0)
      GTEST_SKIP() << "network namespaces cannot be made here (needs root and ip(8))";
    const unsigned base = static_cast<unsigned>(::getpid() % 16000) * 2;
    const std::string prefix = "osc" + std::to_string(::getpid());
    for (int i = 0; i < 2; ++i) {
      nodes_.push_back(std::make_unique<Node>(dir_, prefix + (i == 0 ? "a" : "b"), base + i));
      if (!nodes_.back()->ns.error().empty())
        GTEST_SKIP() << "network namespaces cannot be made here: " << nodes_.back()->ns.error();
    }
    ASSERT_TRUE(write_private_file(dir_ / "token", TOKEN + "\n"));
    ASSERT_TRUE(write_private_file(dir_ / "password", "Cl-pass-71"));
    coordinator_ = std::make_unique<Coordinator>(nodes_[0]->ns.outside(), dir_ / "token", dir_ / "coordinator.log");
    ASSERT_TRUE(coordinator_->listening()) << read_file(dir_ / "coordinator.log");
    const std::string addresses = nodes_[0]->ns.inside() + "," + nodes_[1]->ns.inside();
    for (const auto& n : nodes_) {
      Run_Result r = n->home.init({"--vip", VIRTUAL_ADDRESS, "--nodes", addresses});
      ASSERT_EQ(0, r.status) << r.err;
      r = n->ns.run({sim_program(), "start", n->home.root(), "--instance", "DB1"});
      ASSERT_EQ(0, r.status) << r.err;
      register_node(*n, dir_ / "token");
      r = n->agent({"pool", "add", "p1", "--url", "file://" + n->pool});
      ASSERT_EQ(0, r.status) << r.err;
    }
  }

  void register_node(const Node& n, const std::string& token_file) {
    const Run_Result r =
        n.agent({"instance", "add", "DB1", "--home", n.home.root(), "--user", "sysdba", "--password-file",
                 dir_ / "password", "--coordinator", coordinator_->url(), "--coordinator-token-file", token_file});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "cluster DB1@" + VIRTUAL_ADDRESS)) << r.out;
  }

  // The verdicts of check's cluster checks, "CHECK VERDICT REASON; ..."
  static std::string cluster_checks(const Node& n) {
    const Run_Result r = n.agent({"check", "DB1", "--json"});
    std::string out;
    for (const nlohmann::json& c : nlohmann::json::parse(r.out, nullptr, false).value("checks", nlohmann::json()))
      if (c["check"] == "coordinator" || c["check"] == "cluster node")
        out += c["check"].get<std::string>() + " " + c["verdict"].get<std::string>() + " " +
               c["reason"].get<std::string>() + "; ";
    return out;
  }

  // Waits until the coordinator's last round has ended: it opened at the
  // second its log names ("(round T)") and lasts ROUND_SECONDS.
  void wait_for_round_end() const {
    const std::string log = read_file(dir_ / "coordinator.log");
    const std::size_t at = log.rfind("(round ");
    if (at == std::string::npos) return;
    const long long opened = std::atoll(log.c_str() + at + 7);
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::seconds(opened + ROUND_SECONDS)) +
                                  std::chrono::milliseconds(50));
  }

  // Both agents run `args` at the same moment.
  std::vector<Run_Result> both(const std::vector<std::string>& args) {
    std::vector<std::future<Run_Result>> running;
    for (const auto& n : nodes_)
      running.push_back(std::async(std::launch::async, [&n, &args] { return n->agent(args); }));
    std::vector<Run_Result> results;
    for (auto& r : running) results.push_back(r.get());
    return results;
  }

  Temp_Dir dir_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::unique_ptr<Coordinator> coordinator_;
};

// A job both nodes start together, and which node the coordinator must
// choose for it: the master (0: any online node).
struct Cluster_Job {
  const char* name;
  std::vector<std::string> args;
  bool master_only;
};

class TwoNodeClusterJobs : public TwoNodeCluster, public ::testing::WithParamInterface<Cluster_Job> {};

// Exactly one node runs the job, stores and catalogues its set; the other
// says which node was chosen and exits 0. A physical backup goes to the
// master, also after a switch-over has made the other node master.
TEST_P(TwoNodeClusterJobs, ExactlyOneNodeRunsEachJob) {
  const Cluster_Job& job = GetParam();
  const int rounds = job.master_only ? ROUNDS / 2 : ROUNDS;
  std::vector<std::size_t> ran(2, 0);
  int last_chosen = -1, master = 0;
  for (int phase = 0; phase < (job.master_only ? 2 : 1); ++phase) {
    if (phase == 1) {
      for (const auto& n : nodes_) ASSERT_EQ(0, n->home.admin("switch-over").status);
      master = 1;
    }
    for (int round = 0; round < rounds; ++round) {
      const std::vector<Run_Result> r = both(job.args);
      int chosen = -1;
      for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(0, r[i].status) << "node " << i + 1 << " round " << round << ": " << r[i].out << r[i].err;
        if (contains(r[i].out, "completed")) {
          EXPECT_EQ(-1, chosen) << "both nodes ran the job";
          chosen = i;
        }
      }
      ASSERT_NE(-1, chosen) << "no node ran the job: " << r[0].out << r[1].out;
      if (job.master_only) {
        EXPECT_EQ(phase, chosen) << "the master runs a physical backup";
      }
      const int other = 1 - chosen;
      // In words, or with --json as the result "not run" and its cause.
      const std::string why = "node " + std::to_string(chosen + 1) + " of the cluster was chosen";
      EXPECT_TRUE(contains(r[other].out, "not run: " + why) ||
                  (contains(r[other].out, "\"result\": \"not run\"") && contains(r[other].out, "\"" + why + "\"")))
          << r[other].out << r[other].err;
      ++ran[chosen];
      last_chosen = chosen;
      // The next jobs must open a round of their own, not join this one.
      wait_for_round_end();
    }
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ran[i], nodes_[i]->catalogued()) << "node " << i + 1;
    EXPECT_EQ(ran[i] == 0, files_under(nodes_[i]->pool).empty()) << "node " << i + 1;
    // Both nodes show the coordinator's last decision, and each finds
    // itself in the cluster.
    Run_Result r = nodes_[i]->agent({"nodes", "DB1", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    const nlohmann::json decisions =
        nlohmann::json::parse(r.out, nullptr, false).value("coordinator", nlohmann::json::object())["decisions"];
    ASSERT_TRUE(decisions.is_array() && decisions.size() == 1) << r.out;
    EXPECT_EQ(job.master_only, decisions[0]["select_master"]);
    EXPECT_EQ(last_chosen + 1, decisions[0]["node_id"]);
    EXPECT_EQ(2u, decisions[0]["askers"].size());
    EXPECT_EQ(cluster_checks(*nodes_[i]),
              "coordinator ok " + coordinator_->url() + " answers (rounds of 3 s); cluster node ok node " +
                  std::to_string(i + 1) + " of DB1@" + VIRTUAL_ADDRESS + (i == master ? ", master" : ", slave") + "; ");
  }
}

INSTANTIATE_TEST_SUITE_P(
    TwoNodeCluster, TwoNodeClusterJobs,
    ::testing::Values(
        Cluster_Job{"PhysicalBackupOnTheMaster", {"backup", "DB1", "--type", "full", "--pool", "p1"}, true},
        Cluster_Job{"ExportOnAnyOnlineNode", {"export", "DB1", "--entries", "DB1", "--pool", "p1", "--json"}, false}),
    [](const ::testing::TestParamInfo<Cluster_Job>& info) { return std::string(info.param.name); });

// When no node can be chosen, the job fails on every node it fails for,
// with one line naming the coordinator and the cause; nothing is stored
// there.
struct No_Choice {
  enum Kind { COORDINATOR_STOPPED, WRONG_TOKEN, MASTER_SILENT };
  const char* name;
  Kind kind;      // WRONG_TOKEN: node 2 holds a token the coordinator refuses; MASTER_SILENT: only node 2 asks
  bool fails[2];  // which nodes fail; the others run the job
  const char* cause;
};

class TwoNodeClusterNoChoice : public TwoNodeCluster, public ::testing::WithParamInterface<No_Choice> {};

TEST_P(TwoNodeClusterNoChoice, JobFailsWithOneClearLine) {
  const No_Choice& c = GetParam();
  const std::vector<std::string> backup = {"backup", "DB1", "--type", "full", "--pool", "p1"};
  if (c.kind == No_Choice::COORDINATOR_STOPPED) coordinator_->stop();
  if (c.kind == No_Choice::WRONG_TOKEN) {
    ASSERT_TRUE(write_private_file(dir_ / "wrong-token", "not-" + TOKEN + "\n"));
    ASSERT_EQ(0, nodes_[1]->agent({"instance", "remove", "DB1"}).status);
    register_node(*nodes_[1], dir_ / "wrong-token");
  }
  const std::vector<Run_Result> r = c.kind == No_Choice::MASTER_SILENT
                                        ? std::vector<Run_Result>{Run_Result(), nodes_[1]->agent(backup)}
                                        : both(backup);
  for (int i = 0; i < 2; ++i) {
    if (c.kind == No_Choice::MASTER_SILENT && i == 0) continue;
    if (!c.fails[i]) {
      EXPECT_EQ(0, r[i].status) << r[i].err;
      EXPECT_TRUE(contains(r[i].out, "completed")) << r[i].out;
      continue;
    }
    EXPECT_EQ(1, r[i].status) << "node " << i + 1 << ": " << r[i].out << r[i].err;
    EXPECT_EQ("oscar-agent: backup: coordinator " + coordinator_->url() + " " + c.cause + "\n", r[i].err);
    EXPECT_EQ(0u, nodes_[i]->catalogued());
    EXPECT_TRUE(files_under(nodes_[i]->pool).empty());
    if (c.kind == No_Choice::MASTER_SILENT) continue;
    EXPECT_TRUE(
        contains(cluster_checks(*nodes_[i]), "coordinator FAIL coordinator " + coordinator_->url() + " " + c.cause))
        << cluster_checks(*nodes_[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    TwoNodeCluster, TwoNodeClusterNoChoice,
    ::testing::Values(No_Choice{"CoordinatorStopped",
                                No_Choice::COORDINATOR_STOPPED,
                                {true, true},
                                "does not answer: cannot connect"},
                      No_Choice{"WrongToken", No_Choice::WRONG_TOKEN, {false, true}, "refused the token"},
                      No_Choice{"MasterDoesNotAsk",
                                No_Choice::MASTER_SILENT,
                                {false, true},
                                "chose no node: no online master asked within 3 s"}),
    [](const ::testing::TestParamInfo<No_Choice>& info) { return std::string(info.param.name); });

}  // namespace
