#include "host/services/json_restful_client.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "host/base/job_log.h"
#include "host/services/host_manager.h"

namespace {

// One exchange, shared between the posting thread and the thread that runs
// the transport, so that either may finish first.
struct Exchange {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;  // guarded by mutex, like the results below
  int rc = -1;
  int status = 0;
  std::string response;
  std::string error;
};

void add_access_key(HTTP_Request& request) {
  const Host_Manager* host = Host_Manager::instance();
  const char* name = host->http_head_string(Host_Manager::HTTP_HEAD_ACCESS_KEY);
  const std::string key = host->on_backupd() ? host->node_access_key() : host->access_key();
  if (name != nullptr && !key.empty()) request.header(name, key);
}

}  // namespace

JSON_RESTful_Client::JSON_RESTful_Client() : timeout_(DEFAULT_TIMEOUT_SECONDS) {}

JSON_RESTful_Client::~JSON_RESTful_Client() = default;

void JSON_RESTful_Client::transport(std::shared_ptr<Upstream_Transport> transport) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  transport_ = std::move(transport);
}

std::shared_ptr<Upstream_Transport> JSON_RESTful_Client::transport() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return transport_;
}

void JSON_RESTful_Client::timeout(const ACE_Time_Value& timeout) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  timeout_ = timeout;
}

ACE_Time_Value JSON_RESTful_Client::timeout() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return timeout_;
}

int JSON_RESTful_Client::post(const HTTP_Request& request, const nlohmann::json& body, nlohmann::json& response) {
  const std::shared_ptr<Upstream_Transport> transport = this->transport();
  const ACE_Time_Value limit = timeout();
  const char* path = request.path().c_str();
  if (!transport) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: no connection to the backup server\n"), path));
    return -1;
  }
  std::string text;
  try {
    text = body.dump();
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: %s\n"), path, e.what()));
    return -1;
  }
  HTTP_Request sent = request;
  if (sent.with_access_key()) add_access_key(sent);

  std::shared_ptr<Exchange> exchange = std::make_shared<Exchange>();
  // What the transport logs belongs to the posting thread's job.
  const ACE_Log_Msg_Callback_var callback = bound_log_callback();
  try {
    std::thread([exchange, transport, sent, text, limit, callback] {
      if (callback) bind_log_callback(callback);
      int status = 0;
      std::string answer;
      std::string error;
      const int rc = transport->exchange(sent, text, limit, status, answer, error);
      std::lock_guard<std::mutex> lock(exchange->mutex);
      exchange->rc = rc;
      exchange->status = status;
      exchange->response.swap(answer);
      exchange->error.swap(error);
      exchange->done = true;
      exchange->done_cv.notify_all();
    }).detach();
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: %s\n"), path, e.what()));
    return -1;
  }

  std::unique_lock<std::mutex> lock(exchange->mutex);
  if (!exchange->done_cv.wait_for(lock, std::chrono::milliseconds(limit.msec()),
                                  [&exchange] { return exchange->done; })) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: no answer within %d ms\n"), path,
               static_cast<int>(limit.msec())));
    return -1;
  }
  if (exchange->rc != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: %s\n"), path, exchange->error.c_str()));
    return -1;
  }
  if (exchange->status < 200 || exchange->status > 299) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: the server answered with status %d\n"), path, exchange->status));
    return -1;
  }
  if (exchange->response.empty()) {
    response = nlohmann::json();
    return 0;
  }
  nlohmann::json parsed = nlohmann::json::parse(exchange->response, nullptr, false);
  if (parsed.is_discarded()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to post %s: the answer is not JSON\n"), path));
    return -1;
  }
  response = std::move(parsed);
  return 0;
}

Upstream_JSON_RESTful_Client* Upstream_JSON_RESTful_Client::instance() {
  static Upstream_JSON_RESTful_Client* client = new Upstream_JSON_RESTful_Client();
  return client;
}
