#include "agent/coordinator_client.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "agent/coordinator_protocol.h"

namespace {

const time_t CONNECT_TIMEOUT_SECONDS = 5;

// Keeps SIGPIPE from ending the process while this thread talks to the
// coordinator: TLS writes to a connection the peer closed raise it (OpenSSL
// writes without MSG_NOSIGNAL). The signal is held for the call and one
// that came is taken away before the mask is restored.
class Sigpipe_Guard {
 public:
  Sigpipe_Guard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~Sigpipe_Guard() {
    sigset_t pending;
    const timespec zero = {0, 0};
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 && !sigismember(&before_, SIGPIPE))
      sigtimedwait(&pipe_, nullptr, &zero);
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  Sigpipe_Guard(const Sigpipe_Guard&) = delete;
  Sigpipe_Guard& operator=(const Sigpipe_Guard&) = delete;

 private:
  sigset_t pipe_, before_;
};

// The client for the endpoint's url, or null with `error` set when the url
// is not http(s)://HOST[:PORT] (the library would throw on another scheme).
std::unique_ptr<httplib::Client> client(const Coordinator_Endpoint& endpoint, std::string& error) {
  static const std::regex form("https?://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?/?");
  if (!std::regex_match(endpoint.url, form)) {
    error = "the coordinator's url must be http://HOST[:PORT] or https://HOST[:PORT], not \"" + endpoint.url + "\"";
    return nullptr;
  }
  std::string url = endpoint.url;
  if (url.back() == '/') url.pop_back();
  auto c = std::make_unique<httplib::Client>(url);
  if (!c->is_valid()) {
    error = "coordinator " + endpoint.url + ": cannot set up a client for this url";
    return nullptr;
  }
  const time_t timeout = endpoint.timeout_seconds > 0 ? endpoint.timeout_seconds : 1;
  c->set_connection_timeout(std::min(timeout, CONNECT_TIMEOUT_SECONDS));
  c->set_read_timeout(timeout);
  c->set_write_timeout(timeout);
  c->set_bearer_token_auth(endpoint.token);
  if (!endpoint.ca_file.empty()) c->set_ca_cert_path(endpoint.ca_file);
  c->enable_server_certificate_verification(true);
  return c;
}

std::string transport_error(const Coordinator_Endpoint& endpoint, httplib::Error e) {
  const std::string who = "coordinator " + endpoint.url;
  switch (e) {
    case httplib::Error::Connection: return who + " does not answer: cannot connect";
    case httplib::Error::ConnectionTimeout:
      return who + " does not answer: no connection within " + std::to_string(CONNECT_TIMEOUT_SECONDS) + " s";
    case httplib::Error::Read: return who + " did not answer within " + std::to_string(endpoint.timeout_seconds) + " s";
    case httplib::Error::SSLConnection: return who + ": the TLS handshake failed";
    case httplib::Error::SSLLoadingCerts: return who + ": cannot load the CA certificates " + endpoint.ca_file;
    case httplib::Error::SSLServerVerification: return who + ": its certificate is not trusted";
    default: return who + ": " + httplib::to_string(e);
  }
}

// The answer's body when the request got status 200, else false with
// `error` naming what went wrong.
bool answered(const Coordinator_Endpoint& endpoint, const httplib::Result& result, nlohmann::json& body,
              std::string& error) {
  if (!result) {
    error = transport_error(endpoint, result.error());
    return false;
  }
  if (result->status == 401) {
    error = "coordinator " + endpoint.url + " refused the token";
    return false;
  }
  if (result->status != 200) {
    const std::string line = result->body.substr(0, std::min<std::size_t>(result->body.find('\n'), 200));
    error = "coordinator " + endpoint.url + " answered " + std::to_string(result->status) + ": " + line;
    return false;
  }
  body = nlohmann::json::parse(result->body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    error = "coordinator " + endpoint.url + " answered with no JSON object";
    return false;
  }
  return true;
}

}  // namespace

bool post_selection(const Coordinator_Endpoint& endpoint, const Selection_Request& request, Selection& answer,
                    std::string& error) {
  const Sigpipe_Guard guard;
  auto c = client(endpoint, error);
  if (!c) return false;
  nlohmann::json body;
  if (!answered(endpoint,
                c->Post(COORDINATOR_SELECTION_PATH, selection_request_json(request).dump(), "application/json"), body,
                error))
    return false;
  std::string why;
  if (selection_from_json(body, answer, why)) return true;
  error = "coordinator " + endpoint.url + " answered a malformed selection: " + why;
  return false;
}

bool coordinator_decisions(const Coordinator_Endpoint& endpoint, const std::string& cluster, nlohmann::json& decisions,
                           std::string& error) {
  const Sigpipe_Guard guard;
  auto c = client(endpoint, error);
  if (!c) return false;
  nlohmann::json body;
  if (!answered(endpoint, c->Get(COORDINATOR_DECISIONS_PATH, httplib::Params{{"cluster", cluster}}, httplib::Headers()),
                body, error))
    return false;
  if (!body.contains("decisions") || !body["decisions"].is_array()) {
    error = "coordinator " + endpoint.url + " answered no list of decisions";
    return false;
  }
  decisions = body["decisions"];
  return true;
}

bool coordinator_health(const Coordinator_Endpoint& endpoint, std::string& error, int* round_seconds) {
  const Sigpipe_Guard guard;
  auto c = client(endpoint, error);
  nlohmann::json body;
  if (!c || !answered(endpoint, c->Get(COORDINATOR_HEALTH_PATH), body, error)) return false;
  if (round_seconds != nullptr) {
    const auto round = body.find("round_seconds");
    *round_seconds = round != body.end() && round->is_number_integer() ? round->get<int>() : 0;
  }
  return true;
}
