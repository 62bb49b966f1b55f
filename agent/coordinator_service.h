#ifndef AGENT_COORDINATOR_SERVICE_H
#define AGENT_COORDINATOR_SERVICE_H

#include <cstdio>
#include <memory>
#include <string>

#include "agent/coordinator_rounds.h"

namespace httplib {
class Server;
}

// The coordinator's HTTP layer over Coordinator_Rounds: it checks each
// request's token, reads and checks its body and answers in JSON, as the
// manual page's COORDINATOR section says. Requests are bounded (body size,
// read and write times); a bad one gets a 4xx answer with one line and the
// service goes on. One line per request and per refusal goes to `log`
// (never the token).
//
// open() and serve() are for one thread; stop() may be called from any
// thread, once serve() runs or before.
class Coordinator_Service {
 public:
  // `rounds` and `log` must stay alive while the object does.
  Coordinator_Service(Coordinator_Rounds& rounds, std::string token, std::FILE* log);
  ~Coordinator_Service();
  Coordinator_Service(const Coordinator_Service&) = delete;
  Coordinator_Service& operator=(const Coordinator_Service&) = delete;

  // Binds host:port, with TLS when `tls_cert` and `tls_key` are given (PEM
  // files). False with `why` one line.
  bool open(const std::string& host, int port, const std::string& tls_cert, const std::string& tls_key,
            std::string& why);

  // Answers requests until stop(); false when the listener failed by itself.
  bool serve();

  // Releases held requests (they are answered 503) and ends serve().
  void stop();

 private:
  void route();
  bool authorised(const std::string& header, const std::string& peer, const std::string& path);

  Coordinator_Rounds& rounds_;
  const std::string token_;
  std::FILE* log_;
  std::unique_ptr<httplib::Server> server_;
};

#endif
