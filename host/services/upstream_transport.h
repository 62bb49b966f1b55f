#ifndef HOST_UPSTREAM_TRANSPORT_H
#define HOST_UPSTREAM_TRANSPORT_H

#include <ace/Time_Value.h>

#include <string>

#include "host/services/http_request.h"

// How requests reach the backup server. The agent program installs one in
// the upstream client (JSON_RESTful_Client::transport); tests install a
// scripted server. Implementations must be safe to call from several
// threads at once.
class Upstream_Transport {
 public:
  virtual ~Upstream_Transport() = default;

  // Sends request with body and waits for the answer. Answers 0 with the
  // HTTP status in `status` and the answer's body in `response` when an
  // answer came (whatever its status), or -1 with a short reason in `error`
  // when none did (refused, broken, timed out). It is called on a thread of
  // the client's own; the client stops waiting after `timeout` and drops a
  // later answer, so an implementation should give up by then as well.
  // Neither the request's headers nor the body may be logged: they can
  // carry keys.
  virtual int exchange(const HTTP_Request& request, const std::string& body, const ACE_Time_Value& timeout, int& status,
                       std::string& response, std::string& error) = 0;
};

#endif
