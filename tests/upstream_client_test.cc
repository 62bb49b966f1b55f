#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/services/host_manager.h"
#include "host/services/json_restful_client.h"
#include "tests/support/log_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// A backup server played by the test: it answers, refuses, answers late or
// never, as told, and remembers what it was sent.
class Scripted_Server : public Upstream_Transport {
 public:
  enum Mode { ANSWER, REFUSE, LATE, NEVER, ECHO };

  struct Received {
    int method;
    std::string path;
    std::map<std::string, std::string> headers;
    std::string body;
  };

  Mode mode = ANSWER;
  int status = 200;
  std::string answer = "{}";
  std::chrono::milliseconds delay{0};

  int exchange(const HTTP_Request& request, const std::string& body, const ACE_Time_Value&, int& st,
               std::string& response, std::string& error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(Received{request.method(), request.path(), request.headers(), body});
    }
    switch (mode) {
      case REFUSE: error = "connection refused"; return -1;
      case LATE: std::this_thread::sleep_for(delay); break;
      case NEVER: {
        std::unique_lock<std::mutex> lock(mutex_);
        released_cv_.wait(lock, [this] { return released_; });
        error = "server went away";
        return -1;
      }
      case ECHO:
        st = 200;
        response = body;
        return 0;
      case ANSWER: break;
    }
    st = status;
    response = answer;
    return 0;
  }

  // Lets every exchange held in NEVER mode end.
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    released_cv_.notify_all();
  }

  std::vector<Received> received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::vector<Received> received_;
};

class UpstreamClient : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_shared<Scripted_Server>();
    client_.transport(server_);
    client_.timeout(ACE_Time_Value(5));
  }
  void TearDown() override {
    server_->release();
    Host_Manager::instance()->access_key("");
    Host_Manager::instance()->node_access_key("");
    Host_Manager::instance()->on_backupd(false);
  }

  long ms_since(Clock::time_point start) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }

  std::shared_ptr<Scripted_Server> server_;
  JSON_RESTful_Client client_;
  const HTTP_Request request_{HTTP_Request::METHOD_POST, "/zq/r/oscar/cluster", true};
  const json unchanged_ = json{{"untouched", true}};
};

TEST_F(UpstreamClient, WithoutTransportAPostFailsCleanly) {
  JSON_RESTful_Client bare;
  Log_Capture log;
  json response = unchanged_;
  EXPECT_EQ(-1, bare.post(request_, json{{"a", 1}}, response));
  EXPECT_EQ(unchanged_, response);
  ASSERT_EQ(1u, log.records().size());
  EXPECT_NE(std::string::npos, log.all().find("Failed to post /zq/r/oscar/cluster: no connection"));
}

TEST_F(UpstreamClient, AnsweredPostSendsJsonAndParsesTheAnswer) {
  server_->answer = "{\"selection_time\": 1767225600123}";
  json response;
  const json body = {{"definition_uuid", "d-1"}, {"select_master", true}, {"uid", "u"}};
  EXPECT_EQ(0, client_.post(request_, body, response));
  EXPECT_EQ(1767225600123LL, response.at("selection_time").get<long long>());
  const std::vector<Scripted_Server::Received> got = server_->received();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(HTTP_Request::METHOD_POST, got[0].method);
  EXPECT_EQ("/zq/r/oscar/cluster", got[0].path);
  EXPECT_EQ(body, json::parse(got[0].body));
}

TEST_F(UpstreamClient, EmptyAnswerBodyIsANullValue) {
  server_->answer = "";
  json response = unchanged_;
  EXPECT_EQ(0, client_.post(request_, json::object(), response));
  EXPECT_TRUE(response.is_null());
}

TEST_F(UpstreamClient, AccessKeyGoesWithTheRequestOnlyWhenAskedAndIsNeverLogged) {
  Host_Manager::instance()->access_key("agent-key-5e1f");
  Host_Manager::instance()->node_access_key("node-key-77aa");
  Log_Capture log;
  json response;
  ASSERT_EQ(0, client_.post(request_, json::object(), response));
  ASSERT_EQ(0, client_.post(HTTP_Request(HTTP_Request::METHOD_GET, "/", false), json::object(), response));
  Host_Manager::instance()->on_backupd(true);
  ASSERT_EQ(0, client_.post(request_, json::object(), response));
  server_->mode = Scripted_Server::REFUSE;
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));

  const std::vector<Scripted_Server::Received> got = server_->received();
  ASSERT_EQ(4u, got.size());
  EXPECT_EQ("agent-key-5e1f", got[0].headers.at("X-Access-Key"));
  EXPECT_EQ(0u, got[1].headers.count("X-Access-Key"));
  EXPECT_EQ("node-key-77aa", got[2].headers.at("X-Access-Key"));
  EXPECT_EQ(std::string::npos, log.all().find("key-"));
}

TEST_F(UpstreamClient, RefusedPostFailsWithTheReasonLogged) {
  server_->mode = Scripted_Server::REFUSE;
  Log_Capture log;
  json response = unchanged_;
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));
  EXPECT_EQ(unchanged_, response);
  EXPECT_NE(std::string::npos, log.all().find("connection refused"));
}

TEST_F(UpstreamClient, ErrorStatusOrMalformedAnswerFails) {
  Log_Capture log;
  json response = unchanged_;
  server_->status = 503;
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));
  EXPECT_NE(std::string::npos, log.all().find("status 503"));
  server_->status = 200;
  server_->answer = "{\"selection_time\": ";
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));
  EXPECT_NE(std::string::npos, log.all().find("not JSON"));
  EXPECT_EQ(unchanged_, response);
}

TEST_F(UpstreamClient, LateAnswerIsDroppedOnceTheTimeoutHasPassed) {
  client_.timeout(ACE_Time_Value(0, 150000));
  server_->mode = Scripted_Server::LATE;
  server_->delay = std::chrono::milliseconds(600);
  server_->answer = "{\"selection_time\": 1}";
  json response = unchanged_;
  const Clock::time_point start = Clock::now();
  Log_Capture log;
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));
  EXPECT_GE(ms_since(start), 150);
  EXPECT_EQ(unchanged_, response);
  EXPECT_NE(std::string::npos, log.all().find("no answer within 150 ms"));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(unchanged_, response);

  server_->delay = std::chrono::milliseconds(20);
  EXPECT_EQ(0, client_.post(request_, json::object(), response));
  EXPECT_EQ(1, response.at("selection_time").get<int>());
}

TEST_F(UpstreamClient, ServerThatNeverAnswersCannotHoldAPost) {
  client_.timeout(ACE_Time_Value(0, 100000));
  server_->mode = Scripted_Server::NEVER;
  json response;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(-1, client_.post(request_, json::object(), response));
  EXPECT_LT(ms_since(start), 10000);
}

TEST_F(UpstreamClient, ConcurrentPostsEachGetTheirOwnAnswer) {
  server_->mode = Scripted_Server::ECHO;
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([this, i, &right] {
      for (int n = 0; n < 10; ++n) {
        json response;
        if (client_.post(request_, json{{"n", i * 100 + n}}, response) == 0 && response["n"] == i * 100 + n) ++right;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(80, right.load());
}

TEST_F(UpstreamClient, ProcessClientIsOneObjectThatTakesAnInstalledTransport) {
  Upstream_JSON_RESTful_Client* upstream = Upstream_JSON_RESTful_Client::instance();
  ASSERT_NE(nullptr, upstream);
  EXPECT_EQ(upstream, Upstream_JSON_RESTful_Client::instance());
  EXPECT_EQ(Upstream_JSON_RESTful_Client::DEFAULT_TIMEOUT_SECONDS, upstream->timeout().sec());
  upstream->transport(server_);
  server_->answer = "{\"ok\": true}";
  json response;
  EXPECT_EQ(0, upstream->post(request_, json::object(), response));
  EXPECT_EQ(true, response.at("ok").get<bool>());
  upstream->transport(nullptr);
  EXPECT_EQ(-1, upstream->post(request_, json::object(), response));
}

}  // namespace
