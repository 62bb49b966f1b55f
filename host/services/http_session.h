#ifndef HOST_HTTP_SESSION_H
#define HOST_HTTP_SESSION_H

#include <memory>
#include <string>

// A session to the backup server: where it goes and how its connections
// are made. Making one contacts nothing; a connection is opened when a
// request is sent. A plain value once made; not thread-safe.
class HTTP_Session {
 public:
  const std::string& host() const { return host_; }
  unsigned short port() const { return port_; }
  bool ssl() const { return ssl_; }
  // Trusted certificates of a secured session; empty for the system's.
  const std::string& certificate_file() const { return certificate_file_; }
  int connect_attempts() const { return connect_attempts_; }
  // The local address connections leave from; empty for any.
  const std::string& local_address() const { return local_address_; }
  bool keep_alive() const { return keep_alive_; }
  int connect_timeout_seconds() const { return connect_timeout_seconds_; }
  int io_timeout_seconds() const { return io_timeout_seconds_; }
  // Socket buffer sizes in bytes; 0 leaves the system's.
  int send_buffer_size() const { return send_buffer_size_; }
  int receive_buffer_size() const { return receive_buffer_size_; }

 private:
  friend class HTTP_Session_Factory;
  HTTP_Session() = default;

  std::string host_;
  unsigned short port_ = 0;
  bool ssl_ = false;
  std::string certificate_file_;
  int connect_attempts_ = 1;
  std::string local_address_;
  bool keep_alive_ = false;
  int connect_timeout_seconds_ = 0;
  int io_timeout_seconds_ = 0;
  int send_buffer_size_ = 0;
  int receive_buffer_size_ = 0;
};

class HTTP_Session_Factory {
 public:
  // A new session (owned by the caller) to host:port, secured when ssl is
  // set. certificate_file and local_address may be null. Null, with errno
  // EINVAL, when host is empty, port is 0, connect_attempts or a time-out
  // is below 1 or a buffer size is negative; null with errno ENOMEM when
  // it cannot be allocated. Nothing is logged. Thread-safe.
  static HTTP_Session* create(const std::string& host, unsigned short port, bool ssl, const char* certificate_file,
                              int connect_attempts, const char* local_address, bool keep_alive,
                              int connect_timeout_seconds, int io_timeout_seconds, int send_buffer_size,
                              int receive_buffer_size);
};

// A session that exchanges JSON documents, retrying a request that got no
// answer: up to `retries` more times, all within `retry_timeout_seconds`.
// Empty until a session is given to it. Not thread-safe.
class JSON_HTTP_Session {
 public:
  JSON_HTTP_Session(int retries, int retry_timeout_seconds)
      : retries_(retries), retry_timeout_seconds_(retry_timeout_seconds) {}

  // Takes ownership of session (may be null, which empties it); a session
  // held before is destroyed.
  void reset(HTTP_Session* session) { session_.reset(session); }
  // The session held, or null.
  const HTTP_Session* get() const { return session_.get(); }
  bool empty() const { return session_ == nullptr; }

  int retries() const { return retries_; }
  int retry_timeout_seconds() const { return retry_timeout_seconds_; }

 private:
  int retries_;
  int retry_timeout_seconds_;
  std::unique_ptr<HTTP_Session> session_;
};

#endif
