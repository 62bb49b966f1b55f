#ifndef HOST_JSON_RESTFUL_CLIENT_H
#define HOST_JSON_RESTFUL_CLIENT_H

#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "host/services/http_request.h"
#include "host/services/upstream_transport.h"

// Sends JSON requests to a server through an installed transport and reads
// JSON answers. Every member is thread-safe; posts from several threads run
// side by side.
class JSON_RESTful_Client {
 public:
  static constexpr int DEFAULT_TIMEOUT_SECONDS = 30;

  JSON_RESTful_Client();
  virtual ~JSON_RESTful_Client();

  // Sends `request` with `body` (written as JSON text) and parses the
  // answer into `response`. Answers 0 when the server answered with a 2xx
  // status and a JSON body (an empty body gives a null value). Answers -1,
  // with one error log line and `response` unchanged, when no transport is
  // installed, the transport reports no answer, the answer does not come
  // within the client's time-out (it is then dropped when it comes), its
  // status is not 2xx, or its body is not JSON. With the request's
  // with_access_key, the agent's access key header (Host_Manager) is added
  // before sending; it is never logged. The transport runs on a thread of
  // the client's own that logs through the posting thread's bound log
  // callback (bind_log_callback), so its lines land in the same job log.
  int post(const HTTP_Request& request, const nlohmann::json& body, nlohmann::json& response);

  // Installs the transport (shared: a post in flight keeps the one it
  // started with); an empty pointer removes it.
  void transport(std::shared_ptr<Upstream_Transport> transport);
  std::shared_ptr<Upstream_Transport> transport() const;

  // The longest a post waits for its answer; DEFAULT_TIMEOUT_SECONDS at
  // first.
  void timeout(const ACE_Time_Value& timeout);
  ACE_Time_Value timeout() const;

 private:
  mutable ACE_Thread_Mutex lock_;
  std::shared_ptr<Upstream_Transport> transport_;  // guarded by lock_
  ACE_Time_Value timeout_;                         // guarded by lock_
};

// The process's client for the backup server the agent reports to.
class Upstream_JSON_RESTful_Client : public JSON_RESTful_Client {
 public:
  // Never null; made on first use (thread-safe) and kept for the process.
  static Upstream_JSON_RESTful_Client* instance();

 private:
  Upstream_JSON_RESTful_Client() = default;
};

#endif
