#ifndef HOST_HTTP_REQUEST_H
#define HOST_HTTP_REQUEST_H

#include <map>
#include <string>

// One request to the backup server, without its body: the method (by
// code), the path, whether the agent's access key goes with it, a session
// cookie and extra headers. A plain value; not thread-safe.
class HTTP_Request {
 public:
  enum Method {
    METHOD_GET = 3,
    METHOD_POST = 8,
  };

  // with_access_key: the client adds the agent's access key header
  // (Host_Manager) before sending.
  HTTP_Request(int method, const std::string& path, bool with_access_key)
      : method_(method), path_(path), with_access_key_(with_access_key) {}

  int method() const { return method_; }
  // "GET", "POST", or "" for a code the host does not know.
  const char* method_name() const { return method_ == METHOD_GET ? "GET" : method_ == METHOD_POST ? "POST" : ""; }
  const std::string& path() const { return path_; }
  bool with_access_key() const { return with_access_key_; }

  const std::string& cookie() const { return cookie_; }
  void cookie(const std::string& v) { cookie_ = v; }

  // Header name to value; the client adds to these, the transport sends them.
  const std::map<std::string, std::string>& headers() const { return headers_; }
  void header(const std::string& name, const std::string& value) { headers_[name] = value; }

 private:
  int method_;
  std::string path_;
  bool with_access_key_;
  std::string cookie_;
  std::map<std::string, std::string> headers_;
};

#endif
