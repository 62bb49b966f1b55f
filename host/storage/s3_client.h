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
};

// The answer to one request. status is 0 when no answer came (error says
// why); otherwise the HTTP status, its body and its headers (names in
// lower case).
struct S3_Response {
  long status = 0;
  std::string error;
  std::string body;
  std::map<std::string, std::string> headers;

  bool ok() const { return status >= 200 && status < 300; }
  // One line for a failed request: the transport's reason, or the status
  // with the service's error code and message. Never holds a key.
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

  // Sends one signed request for key (empty: the bucket itself) with the
  // query parameters and extra headers given, and body[0, body_len) as the
  // payload. The response's body is kept in out.body (cleared first, its
  // capacity kept). False when no answer came or it is not a 2xx answer.
  bool request(const std::string& method, const std::string& key, const std::map<std::string, std::string>& query,
               const std::map<std::string, std::string>& headers, const char* body, std::size_t body_len,
               S3_Response& out);

  const S3_Config& config() const { return config_; }

 private:
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

// Lower-case hex SHA-256 of data.
std::string s3_sha256_hex(const char* data, std::size_t len);

// Percent-encoding of S3 signing: everything but A-Z a-z 0-9 - _ . ~ (and
// "/" when keep_slash) is encoded.
std::string s3_uri_encode(const std::string& text, bool keep_slash);

#endif
