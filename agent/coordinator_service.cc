#include "agent/coordinator_service.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

#include "agent/coordinator_protocol.h"
#include "agent/coordinator_token.h"

namespace {

// Held requests each take a thread until their round is decided, so there
// are more than the library's default.
const std::size_t SERVICE_THREADS = 64;
const time_t IO_TIMEOUT_SECONDS = 10;

void answer_json(httplib::Response& res, int status, const nlohmann::json& value) {
  res.status = status;
  res.set_content(value.dump() + "\n", "application/json");
}

void answer_text(httplib::Response& res, int status, const std::string& line) {
  res.status = status;
  res.set_content(line + "\n", "text/plain");
}

// The one line a refusal the library makes itself carries.
std::string status_line(int status) {
  switch (status) {
    case 404: return "no such path (see the COORDINATOR section of oscar-agent(1))";
    case 405: return "method not allowed here";
    case 413: return "the request body is larger than " + std::to_string(COORDINATOR_MAX_BODY) + " bytes";
    default: return "request refused (" + std::to_string(status) + ")";
  }
}

}  // namespace

Coordinator_Service::Coordinator_Service(Coordinator_Rounds& rounds, std::string token, std::FILE* log)
    : rounds_(rounds), token_(std::move(token)), log_(log) {}

Coordinator_Service::~Coordinator_Service() = default;

bool Coordinator_Service::open(const std::string& host, int port, const std::string& tls_cert,
                               const std::string& tls_key, std::string& why) {
  if (!tls_cert.empty()) {
    server_ = std::make_unique<httplib::SSLServer>(tls_cert.c_str(), tls_key.c_str());
    if (!server_->is_valid()) {
      why = "cannot load the TLS certificate " + tls_cert + " with its key " + tls_key;
      return false;
    }
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(SERVICE_THREADS); };
  server_->set_payload_max_length(COORDINATOR_MAX_BODY);
  server_->set_read_timeout(IO_TIMEOUT_SECONDS);
  server_->set_write_timeout(IO_TIMEOUT_SECONDS);
  route();
  errno = 0;
  if (!server_->bind_to_port(host, port)) {
    why = "cannot listen on " + host + ":" + std::to_string(port) +
          (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
  }
  return true;
}

bool Coordinator_Service::serve() { return server_->listen_after_bind(); }

void Coordinator_Service::stop() {
  rounds_.stop();
  if (server_) server_->stop();
}

bool Coordinator_Service::authorised(const std::string& header, const std::string& peer, const std::string& path) {
  const std::string scheme = "Bearer ";
  if (header.compare(0, scheme.size(), scheme) == 0 && same_token(header.substr(scheme.size()), token_)) return true;
  std::fprintf(log_, "oscar-agent coordinator: refused a request from %s for %s: %s\n", peer.c_str(), path.c_str(),
               header.empty() ? "no token" : "wrong token");
  return false;
}

void Coordinator_Service::route() {
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (authorised(req.get_header_value("Authorization"), req.remote_addr, req.path))
      return httplib::Server::HandlerResponse::Unhandled;
    answer_text(res, 401, "a valid token is required (Authorization: Bearer TOKEN)");
    res.set_header("WWW-Authenticate", "Bearer");
    return httplib::Server::HandlerResponse::Handled;
  });
  server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) answer_text(res, res.status, status_line(res.status));
  });
  server_->Post(COORDINATOR_SELECTION_PATH, [this](const httplib::Request& req, httplib::Response& res) {
    Selection_Request request;
    std::string why;
    if (!parse_selection_request(req.body, request, why)) {
      std::fprintf(log_, "oscar-agent coordinator: refused a request from %s: %s\n", req.remote_addr.c_str(),
                   why.c_str());
      return answer_text(res, 400, why);
    }
    Selection answer;
    if (!rounds_.ask(request, answer)) return answer_text(res, 503, "the coordinator is stopping");
    std::fprintf(log_, "oscar-agent coordinator: node %d (%s) of %s asked for %s: %s%s%s (round %lld)\n",
                 request.node_id, request.host.c_str(), request.cluster.c_str(), request.definition_uuid.c_str(),
                 answer.state.c_str(), answer.state == "success" ? ", node " : ": ",
                 answer.state == "success" ? std::to_string(answer.node_id).c_str() : answer.reason.c_str(),
                 static_cast<long long>(answer.selection_time));
    answer_json(res, 200, selection_json(answer));
  });
  server_->Get(COORDINATOR_DECISIONS_PATH, [this](const httplib::Request& req, httplib::Response& res) {
    const std::string cluster = req.get_param_value("cluster");
    if (cluster.empty()) return answer_text(res, 400, "the query must name a cluster (?cluster=C)");
    nlohmann::json list = nlohmann::json::array();
    for (const Decision_Record& record : rounds_.decisions(cluster, coordinator_now()))
      list.push_back(decision_json(record));
    answer_json(res, 200, {{"cluster", cluster}, {"decisions", list}});
  });
  server_->Get(COORDINATOR_HEALTH_PATH, [this](const httplib::Request&, httplib::Response& res) {
    answer_json(res, 200, {{"status", "ok"}, {"round_seconds", rounds_.round_seconds()}});
  });
}
