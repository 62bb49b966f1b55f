// The cluster coordinator: its rounds directly (explicit times, no waiting),
// then the real `oscar-agent coordinator` process on a loopback port, asked
// through the agent's client over http and https.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agent/coordinator_client.h"
#include "agent/coordinator_protocol.h"
#include "agent/coordinator_rounds.h"
#include "tests/support/s3_server.h"
#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

const std::string AGENT = OSCAR_BUILD_DIR "/agent/oscar-agent";
const std::string TOKEN = "tok-7d1f-never-logged";

Selection_Request node(const std::string& cluster, int id, bool master, bool online, bool select_master = true,
                       const std::string& definition = "def-1") {
  Selection_Request r;
  r.cluster = cluster;
  r.definition_uuid = definition;
  r.uid = "uid-1";
  r.instance_uuid = "inst-1";
  r.select_master = select_master;
  r.node_id = id;
  r.is_master = master;
  r.online = online;
  r.host = "host-" + std::to_string(id);
  return r;
}

// One request of a round scenario at second `at` and the answer it must
// get; node 0 settles the cluster's last round at `at` instead of asking.
struct Step {
  const char* cluster;
  int node;
  bool master, online;
  int64_t at;
  int64_t time;  // the expected selection_time
  const char* state;
  int chosen;
};

struct Scenario {
  const char* name;
  bool select_master;
  std::vector<Step> steps;
  const char* reason = "";  // of the last answer
};

class CoordinatorRounds : public ::testing::TestWithParam<Scenario> {};

TEST_P(CoordinatorRounds, EveryAskerOfARoundGetsItsOneAnswer) {
  Coordinator_Rounds rounds(30);
  Selection last;
  for (const Step& s : GetParam().steps) {
    const Selection_Request r = node(s.cluster, s.node, s.master, s.online, GetParam().select_master);
    last = s.node == 0 ? rounds.settle(s.cluster, "def-1", s.time, s.at) : rounds.offer(r, s.at);
    EXPECT_EQ(s.time, last.selection_time) << "node " << s.node << " at " << s.at;
    EXPECT_EQ(s.state, last.state) << "node " << s.node << " at " << s.at;
    EXPECT_EQ(s.chosen, last.node_id) << "node " << s.node << " at " << s.at;
  }
  EXPECT_EQ(GetParam().reason, last.reason);
}

INSTANTIATE_TEST_SUITE_P(Coordinator, CoordinatorRounds,
                         ::testing::Values(
                             // The master is chosen when it asks; a node that asked before waits
                             // for it and then gets the same answer.
                             Scenario{"MasterChosenWhenItAsks",
                                      true,
                                      {{"c", 1, false, true, 100, 100, "", -1},
                                       {"c", 2, true, true, 105, 100, "success", 2},
                                       {"c", 1, false, true, 106, 100, "success", 2},
                                       {"c", 3, false, true, 129, 100, "success", 2}}},
                             // Without select_master the first online node is chosen at once;
                             // an offline node asking first is recorded, never chosen.
                             Scenario{"FirstOnlineNodeChosen",
                                      false,
                                      {{"c", 3, false, false, 100, 100, "", -1},
                                       {"c", 1, false, true, 101, 100, "success", 1},
                                       {"c", 2, true, true, 102, 100, "success", 1},
                                       {"c", 3, false, true, 103, 100, "success", 1}}},
                             // An offline master is not chosen; the round fails at its end.
                             Scenario{"NoOnlineMasterFailsAtTheRoundsEnd",
                                      true,
                                      {{"c", 2, true, false, 100, 100, "", -1},
                                       {"c", 1, false, true, 110, 100, "", -1},
                                       {"c", 0, false, false, 129, 100, "", -1},
                                       {"c", 0, false, false, 130, 100, "failed", -1},
                                       // A request of it that wakes after the next round
                                       // opened still gets its own round's answer.
                                       {"c", 2, true, true, 131, 131, "success", 2},
                                       {"c", 0, false, false, 132, 100, "failed", -1}},
                                      "no online master asked within 30 s"},
                             // A new round opens after the window with a new time and choice.
                             Scenario{"NewRoundAfterTheWindow",
                                      false,
                                      {{"c", 1, false, true, 100, 100, "success", 1},
                                       {"c", 2, false, true, 129, 100, "success", 1},
                                       {"c", 2, false, true, 130, 130, "success", 2},
                                       {"c", 1, false, true, 131, 130, "success", 2}}},
                             // Clusters with the same definition keep rounds of their own.
                             Scenario{"ClustersApart",
                                      true,
                                      {{"a", 1, true, true, 100, 100, "success", 1},
                                       {"b", 1, false, true, 101, 101, "", -1},
                                       {"b", 2, true, true, 102, 101, "success", 2},
                                       {"a", 2, false, true, 103, 100, "success", 1}}}),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

TEST(Coordinator, FailedRoundGivesItsReasonAndDecisionsListTheAskers) {
  Coordinator_Rounds rounds(30);
  std::vector<std::vector<Decision_Record>> saved;
  rounds.on_decision([&](const std::vector<Decision_Record>& all) { saved.push_back(all); });
  rounds.offer(node("c", 2, true, false), 100);
  rounds.offer(node("c", 1, false, true), 101);
  rounds.offer(node("c", 1, false, true, false, "def-2"), 101);
  rounds.offer(node("other", 1, false, true, false), 101);
  EXPECT_EQ(2u, saved.size());  // def-2 of c, and other's
  const std::vector<Decision_Record> list = rounds.decisions("c", 130);
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("failed", list[0].selection.state);
  EXPECT_EQ("no online master asked within 30 s", list[0].selection.reason);
  ASSERT_EQ(2u, list[0].askers.size());
  EXPECT_EQ(2, list[0].askers[0].node_id);
  EXPECT_FALSE(list[0].askers[0].online);
  EXPECT_EQ("host-1", list[0].askers[1].host);
  EXPECT_EQ("def-2", list[1].definition_uuid);
  EXPECT_EQ(1, list[1].selection.node_id);
  ASSERT_EQ(3u, saved.size());  // the failure is saved when found
  // What is saved reads back as the same records.
  std::vector<Decision_Record> back;
  std::string why;
  nlohmann::json written = nlohmann::json::array();
  for (const Decision_Record& r : saved.back()) written.push_back(decision_json(r));
  ASSERT_TRUE(decisions_from_json(written, back, why)) << why;
  Coordinator_Rounds restarted(30);
  restarted.restore(back);
  EXPECT_EQ(written.size(), restarted.decisions("c", 130).size() + restarted.decisions("other", 130).size());
  EXPECT_EQ(1, restarted.offer(node("other", 5, true, true, false), 110).node_id);
}

TEST(Coordinator, StopReleasesAHeldAskAtOnce) {
  Coordinator_Rounds rounds(30);
  auto held = std::async(std::launch::async, [&] {
    Selection s;
    return rounds.ask(node("c", 2, true, false), s);
  });
  EXPECT_EQ(std::future_status::timeout, held.wait_for(std::chrono::milliseconds(100)));
  rounds.stop();
  ASSERT_EQ(std::future_status::ready, held.wait_for(std::chrono::seconds(5)));
  EXPECT_FALSE(held.get());
}

// The real coordinator on a free loopback port; killed and reaped when the
// object goes away if it still runs.
class Coordinator_Process {
 public:
  Coordinator_Process(const Temp_Dir& dir, std::vector<std::string> extra, bool tls) : dir_(dir), tls_(tls) {
    port_ = free_port();
    std::vector<std::string> args = {AGENT,          "coordinator", "--listen", "127.0.0.1:" + std::to_string(port_),
                                     "--token-file", dir / "token"};
    if (tls) extra.insert(extra.end(), {"--tls-cert", dir / "cert.pem", "--tls-key", dir / "key.pem"});
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = spawn_program(args, dir / "coordinator.log");
  }
  ~Coordinator_Process() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    wait_exit(10000);
  }

  // Whether it answers a health request within a few seconds.
  bool ready() {
    std::string error;
    for (int i = 0; i < 250 && pid_ > 0; ++i) {
      if (coordinator_health(endpoint(), error)) return true;
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  Coordinator_Endpoint endpoint(const std::string& token = TOKEN, int timeout = 10) const {
    return {std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_), token,
            tls_ ? dir_ / "cert.pem" : "", timeout};
  }
  // The exit status after `signal`, -1 when it was killed or did not end.
  int stop(int signal, int wait_ms = 10000) {
    if (pid_ > 0) ::kill(pid_, signal);
    return wait_exit(wait_ms);
  }
  std::string log() const { return read_file(dir_ / "coordinator.log"); }

 private:
  int wait_exit(int wait_ms) {
    for (int i = 0; pid_ > 0 && i < wait_ms / 10; ++i) {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
      if (pid_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  const Temp_Dir& dir_;
  bool tls_;
  int port_ = 0;
  pid_t pid_ = -1;
  int status_ = 0;
};

// A token file, and with TLS a self-signed certificate for 127.0.0.1.
class CoordinatorService : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(write_private_file(tmp_ / "token", TOKEN + "\n"));
    if (!GetParam()) return;
    const Run_Result r =
        run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-keyout", tmp_ / "key.pem", "-out", tmp_ / "cert.pem", "-days", "1", "-subj",
                     "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0, ::chmod((tmp_ / "key.pem").c_str(), 0600));
  }
  std::unique_ptr<Coordinator_Process> start(const std::vector<std::string>& extra = {"--round", "1"}) {
    auto p = std::make_unique<Coordinator_Process>(tmp_, extra, GetParam());
    EXPECT_TRUE(p->ready()) << p->log();
    return p;
  }
  // Polls the decisions of cluster c until node `id` shows as an asker of
  // `definition`.
  bool asked(const Coordinator_Endpoint& e, int id, const std::string& definition = "def-1") {
    std::string error;
    for (int i = 0; i < 500; ++i) {
      nlohmann::json list;
      if (coordinator_decisions(e, "c", list, error))
        for (const auto& record : list)
          for (const auto& a : record["askers"])
            if (record["definition_uuid"] == definition && a["node_id"] == id) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  Temp_Dir tmp_;
};

TEST_P(CoordinatorService, TwoNodesAskingAtOnceGetTheSameChoice) {
  auto coordinator = start({"--round", "30"});
  const Coordinator_Endpoint e = coordinator->endpoint();
  auto ask = [&](int id, bool master) {
    Selection s;
    std::string error;
    EXPECT_TRUE(post_selection(e, node("c", id, master, true), s, error)) << error;
    return s;
  };
  // The non-master asks first and is held until the master asks.
  auto first = std::async(std::launch::async, ask, 1, false);
  ASSERT_TRUE(asked(e, 1));
  EXPECT_EQ(std::future_status::timeout, first.wait_for(std::chrono::milliseconds(0)));
  const Selection second = ask(2, true);
  const Selection held = first.get();
  EXPECT_EQ("success", second.state);
  EXPECT_EQ(2, second.node_id);
  EXPECT_EQ(second.selection_time, held.selection_time);
  EXPECT_EQ(second.node_id, held.node_id);
  EXPECT_EQ(second.state, held.state);
  EXPECT_EQ(0, coordinator->stop(SIGTERM));
  EXPECT_NE(std::string::npos, coordinator->log().find("node 1 (host-1) of c asked for def-1: success, node 2"));
}

TEST_P(CoordinatorService, RoundWithoutAnOnlineMasterFailsAtItsEnd) {
  auto coordinator = start();
  Selection s;
  std::string error;
  const auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(post_selection(coordinator->endpoint(), node("c", 2, true, false), s, error)) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
  EXPECT_EQ("failed", s.state);
  EXPECT_EQ(-1, s.node_id);
  EXPECT_EQ("no online master asked within 1 s", s.reason);
}

TEST_P(CoordinatorService, WrongOrMissingTokenIsRefusedAndNeverLogged) {
  auto coordinator = start();
  Selection s;
  std::string error;
  EXPECT_FALSE(post_selection(coordinator->endpoint("tok-wrong"), node("c", 1, true, true), s, error));
  EXPECT_EQ("coordinator " + coordinator->endpoint().url + " refused the token", error);
  EXPECT_FALSE(coordinator_health(coordinator->endpoint(""), error));
  EXPECT_EQ("coordinator " + coordinator->endpoint().url + " refused the token", error);
  EXPECT_EQ(0, coordinator->stop(SIGINT));
  const std::string log = coordinator->log();
  EXPECT_NE(std::string::npos, log.find("refused a request from 127.0.0.1 for /zq/r/oscar/cluster: wrong token"));
  EXPECT_NE(std::string::npos, log.find("for /zq/r/oscar/health: no token")) << log;
  EXPECT_EQ(std::string::npos, log.find("tok-"));
}

TEST_P(CoordinatorService, StopWhileARequestIsHeldEndsCleanlyAndDecisionsSurviveWithState) {
  auto coordinator = start({"--round", "30", "--state", tmp_ / "state"});
  const Coordinator_Endpoint e = coordinator->endpoint();
  Selection s;
  std::string error;
  ASSERT_TRUE(post_selection(e, node("c", 1, false, true, false), s, error)) << error;
  auto held = std::async(std::launch::async, [&] {
    Selection h;
    std::string why;
    return post_selection(e, node("c", 2, true, false, true, "def-2"), h, why) ? std::string() : why;
  });
  ASSERT_TRUE(asked(e, 2, "def-2"));
  EXPECT_EQ(0, coordinator->stop(SIGTERM, 5000));
  EXPECT_EQ("coordinator " + e.url + " answered 503: the coordinator is stopping", held.get());

  auto again = start({"--round", "30", "--state", tmp_ / "state"});
  nlohmann::json list;
  ASSERT_TRUE(coordinator_decisions(again->endpoint(), "c", list, error)) << error;
  ASSERT_EQ(1u, list.size()) << list.dump();  // the undecided round of def-2 is not kept
  EXPECT_EQ(s.selection_time, list[0]["selection_time"]);
  EXPECT_EQ(1, list[0]["node_id"]);
  // The round is still open: a later asker gets the same answer.
  Selection late;
  ASSERT_TRUE(post_selection(again->endpoint(), node("c", 2, false, true, false), late, error)) << error;
  EXPECT_EQ(s.selection_time, late.selection_time);
  EXPECT_EQ(1, late.node_id);
}

INSTANTIATE_TEST_SUITE_P(Coordinator, CoordinatorService, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Https" : "Http"; });

// A malformed request: method, path, body, the answer's status and line.
struct Bad_Request {
  const char* name;
  const char* method;
  const char* path;
  std::string body;
  int status;
  const char* line;
};

class CoordinatorRefusals : public ::testing::TestWithParam<Bad_Request> {};

TEST_P(CoordinatorRefusals, MalformedRequestGets4xxAndTheServiceGoesOn) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_private_file(tmp / "token", TOKEN));
  Coordinator_Process coordinator(tmp, {"--round", "1"}, false);
  ASSERT_TRUE(coordinator.ready()) << coordinator.log();
  httplib::Client raw(coordinator.endpoint().url);
  raw.set_bearer_token_auth(TOKEN);
  const Bad_Request& bad = GetParam();
  auto result = std::string(bad.method) == "GET" ? raw.Get(bad.path) : raw.Post(bad.path, bad.body, "application/json");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(bad.status, result->status);
  EXPECT_EQ(std::string(bad.line) + "\n", result->body);
  Selection s;
  std::string error;
  EXPECT_TRUE(post_selection(coordinator.endpoint(), node("c", 1, true, true), s, error)) << error;
  EXPECT_EQ(1, s.node_id);
  EXPECT_EQ(0, coordinator.stop(SIGTERM));
}

const std::string GOOD =
    R"({"definition_uuid":"d","uid":"u","instance_uuid":"i","select_master":true,"cluster":"c","node_id":1,)"
    R"("is_master":true,"online":true,"host":"h"})";

std::string replaced(const std::string& from, const std::string& to) {
  std::string body = GOOD;
  return body.replace(body.find(from), from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    Coordinator, CoordinatorRefusals,
    ::testing::Values(
        Bad_Request{"NotJson", "POST", "/zq/r/oscar/cluster", "{\"definition_uuid\":", 400, "the body is not JSON"},
        Bad_Request{"NotAnObject", "POST", "/zq/r/oscar/cluster", "[1]", 400, "the body must be a JSON object"},
        Bad_Request{"TooLarge", "POST", "/zq/r/oscar/cluster", std::string(COORDINATOR_MAX_BODY + 1, ' '), 413,
                    "the request body is larger than 65536 bytes"},
        Bad_Request{"MissingMember", "POST", "/zq/r/oscar/cluster", replaced("\"node_id\":1,", ""), 400,
                    "\"node_id\" must be an integer"},
        Bad_Request{"WrongType", "POST", "/zq/r/oscar/cluster", replaced("\"online\":true", "\"online\":\"yes\""), 400,
                    "\"online\" must be true or false"},
        Bad_Request{"NodeIdOutOfRange", "POST", "/zq/r/oscar/cluster", replaced("\"node_id\":1", "\"node_id\":1e3"),
                    400, "\"node_id\" must be an integer"},
        Bad_Request{"EmptyCluster", "POST", "/zq/r/oscar/cluster", replaced("\"cluster\":\"c\"", "\"cluster\":\"\""),
                    400, "\"cluster\" is empty"},
        Bad_Request{"WrongMethod", "GET", "/zq/r/oscar/cluster", "", 404,
                    "no such path (see the COORDINATOR section of oscar-agent(1))"},
        Bad_Request{"WrongPath", "POST", "/zq/r/oscar/clusters", GOOD, 404,
                    "no such path (see the COORDINATOR section of oscar-agent(1))"},
        Bad_Request{"DecisionsWithoutCluster", "GET", "/zq/r/oscar/cluster/decisions", "", 400,
                    "the query must name a cluster (?cluster=C)"}),
    [](const ::testing::TestParamInfo<Bad_Request>& info) { return std::string(info.param.name); });

// The command refuses to start, with one line, on what it cannot use.
struct Bad_Start {
  const char* name;
  std::vector<std::string> args;  // after "coordinator"; TOKEN_FILE and OPEN_TOKEN_FILE stand for files
  int status;
  const char* line;
};

class CoordinatorStart : public ::testing::TestWithParam<Bad_Start> {};

TEST_P(CoordinatorStart, RefusesWithOneLine) {
  Temp_Dir tmp;
  ASSERT_TRUE(write_private_file(tmp / "token", TOKEN));
  ASSERT_TRUE(write_file(tmp / "open-token", TOKEN));
  ASSERT_EQ(0, ::chmod((tmp / "open-token").c_str(), 0644));
  ASSERT_TRUE(write_private_file(tmp / "empty-token", "\n"));
  std::vector<std::string> args = {AGENT, "coordinator"};
  for (std::string a : GetParam().args) {
    if (a.compare(0, 4, "TMP/") == 0) a = tmp / a.substr(4);
    args.push_back(a);
  }
  const Run_Result r = run_program(args, {}, 10000);
  EXPECT_EQ(GetParam().status, r.status) << r.err;
  EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(GetParam().line)) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(TOKEN));
}

INSTANTIATE_TEST_SUITE_P(
    Coordinator, CoordinatorStart,
    ::testing::Values(
        Bad_Start{"TokenFileOthersCanRead",
                  {"--listen", "127.0.0.1:1", "--token-file", "TMP/open-token"},
                  1,
                  "has mode 0644, open to other users: chmod 600"},
        Bad_Start{"EmptyToken",
                  {"--listen", "127.0.0.1:1", "--token-file", "TMP/empty-token"},
                  1,
                  "must hold one line of 1 to 1024 printable characters"},
        Bad_Start{"ListenWithoutPort", {"--listen", "127.0.0.1", "--token-file", "TMP/token"}, 2, "--listen must be"},
        Bad_Start{"RoundTooLong",
                  {"--listen", "127.0.0.1:1", "--token-file", "TMP/token", "--round", "86400"},
                  2,
                  "--round must be 1 to 3600 seconds"},
        Bad_Start{"KeyWithoutCertificate",
                  {"--listen", "127.0.0.1:1", "--token-file", "TMP/token", "--tls-key", "TMP/token"},
                  2,
                  "--tls-cert and --tls-key go together"},
        Bad_Start{"AddressNotOfThisMachine",
                  {"--listen", "256.0.0.1:80", "--token-file", "TMP/token"},
                  1,
                  "cannot listen on"}),
    [](const ::testing::TestParamInfo<Bad_Start>& info) { return std::string(info.param.name); });

// The client names the coordinator and what went wrong in one line.
TEST(Coordinator, ClientErrorsAreOneClearLine) {
  Silent_Endpoint silent;
  ASSERT_TRUE(silent.listening());
  const std::string closed = "http://127.0.0.1:" + std::to_string(free_port());
  const struct {
    Coordinator_Endpoint endpoint;
    std::string error;
  } cases[] = {
      {{closed, TOKEN, "", 2}, "coordinator " + closed + " does not answer: cannot connect"},
      {{silent.endpoint(), TOKEN, "", 1}, "coordinator " + silent.endpoint() + " did not answer within 1 s"},
      {{"ftp://127.0.0.1:9", TOKEN, "", 1},
       "the coordinator's url must be http://HOST[:PORT] or https://HOST[:PORT], not \"ftp://127.0.0.1:9\""},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(coordinator_health(c.endpoint, error));
    EXPECT_EQ(c.error, error);
  }
}

}  // namespace
