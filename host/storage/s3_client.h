#ifndef HOST_S3_CLIENT_H
#define HOST_S3_CLIENT_H

#include <cstddef>
#include <map>
#include <string>

// Where and as whom an S3-compatible service is reached. Path-style
// addressing ("ENDPOINT/BUCKET/KEY"), requests signed with AWS signature
// version 4 for the region.
struct S3_Config {
  std::string endpoint;  // "http://host:port" or "https://host"
  std::string region = "us-east-1";
  std::string access_key_id;
  std::string secret_access_key;
  std::string bucket;
  // A request that moves no byte for this long fails; no request lasts
  // longer than ten times this, nor waits longer than this to connect.
  long timeout_seconds = 60;
  // A request that fails in a way that may pass by itself (no connection,
  // a broken one, the service busy or failing inside) is sent again, up to
  // max_attempts times in all, after pauses of retry_delay_ms that double
  // each time. A request that was sent and then made no progress for
  // timeout_seconds is not sent again, so one request never takes longer
  // than that time-out plus the pauses.
  int max_attempts = 4;
  long retry_delay_ms = 250;
};

// The answer to one request. status is 0 when no answer came (error says
// why); otherwise the HTTP status, its body and its headers (names in
// lower case).
struct S3_Response {
  long status = 0;
  std::string error;
  std::string body;
  std::map<std::string, std::string> headers;
  int attempts = 0;  // how many times the request was sent

  bool ok() const { return status >= 200 && status < 300; }
  // One line for a failed request: the transport's reason, or the status
  // with the service's error code and message, and how many attempts were
  // made when there was more than one. Never holds a key.
  std::string describe() const;
};

// A connection to one bucket of an S3-compatible service. Keeps its
// connection open between requests. Not thread-safe.
class S3_Client {
 public:
  explicit S3_Client(const S3_Config& config);
  ~S3_Client();
  S3_Client(const S3_Client&) = delete;
  S3_Client& operator=(const S3_Client&) = delete;

  // Whether a request may be carried out twice with the same effect.
  enum Repeat { IDEMPOTENT, ONCE_ONLY };

  // Sends one signed request for key (empty: the bucket itself) with the
  // query parameters and extra headers given, and body[0, body_len) as the
  // payload, which must stay in place until the call returns: a transient
  // failure sends it again whole (see S3_Config::max_attempts). A ONCE_ONLY
  // request is sent again only when it cannot have been carried out: it
  // never left, or the service answered that it failed; a connection that
  // broke after it was sent ends it. The last answer is kept in out, its
  // body in out.body (cleared first, its capacity kept). False when no
  // answer came or it is not a 2xx answer.
  bool request(const std::string& method, const std::string& key, const std::map<std::string, std::string>& query,
               const std::map<std::string, std::string>& headers, const char* body, std::size_t body_len,
               S3_Response& out, Repeat repeat = IDEMPOTENT);

  const S3_Config& config() const { return config_; }

 private:
  // How an attempt ended, for whether to make another.
  enum Outcome {
    DONE,         // an answer that stands, success or refusal
    NOT_SENT,     // no connection, or a time-out before anything was sent
    FAILED_HERE,  // the service answered that it could not serve it now
    BROKEN,       // the connection broke once the request was on its way
  };
  // One attempt of request().
  Outcome send(const std::string& method, const std::string& key, const std::map<std::string, std::string>& query,
               const std::map<std::string, std::string>& headers, const char* body, std::size_t body_len, Repeat repeat,
               S3_Response& out);

  S3_Config config_;
  std::string host_;  // the endpoint's authority, as the Host header
  void* curl_ = nullptr;
};

// The text of the first <tag> element of xml at or after from, with the
// XML entities decoded; empty when there is none. end (when given) is set
// past the element.
std::string s3_xml_value(const std::string& xml, const std::string& tag, std::size_t from = 0,
                         std::size_t* end = nullptr);

// The AWS signature version 4 Authorization header value for a request.
// Exposed for the tests, which check it against the published example.
std::string s3_authorization(const S3_Config& config, const std::string& method, const std::string& canonical_uri,
                             const std::string& canonical_query,
                             const std::map<std::string, std::string>& signed_headers, const std::string& payload_hash,
                             const std::string& amz_date);

// The size an HTTP Content-Length header gives: true with size set for
// decimal digits only (surrounding blanks aside) that fit in 64 bits; false
// for anything else.
bool s3_parse_size(const std::string& text, unsigned long long& size);

// Lower-case hex SHA-256 of data.
std::string s3_sha256_hex(const char* data, std::size_t len);

// Percent-encoding of S3 signing: everything but A-Z a-z 0-9 - _ . ~ (and
// "/" when keep_slash) is encoded.
std::string s3_uri_encode(const std::string& text, bool keep_slash);

#endif
