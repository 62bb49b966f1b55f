#ifndef HOST_WEBSOCKET_OPTIONS_H
#define HOST_WEBSOCKET_OPTIONS_H

#include <ace/Thread_Mutex.h>

#include <string>

// Where the agent's connection to the backup server goes: the server's
// address and port, whether the connection is secured, and the session
// cookie the server handed out. One per process, set by the agent when it
// connects (or by a test); jobs read it to open sessions of their own.
// Every member is thread-safe; the getters answer copies.
class WebSocket_Options {
 public:
  // The loopback address on the secured port: an agent that was never told
  // otherwise talks to a server on its own machine.
  static const char DEFAULT_HOST[];
  static constexpr unsigned short DEFAULT_PORT = 443;

  // The process's options; never null.
  static WebSocket_Options* instance();

  std::string host() const;
  unsigned short port() const;
  bool ssl() const;
  std::string cookie() const;

  void host(const std::string& v);
  void port(unsigned short v);
  void ssl(bool v);
  void cookie(const std::string& v);

 private:
  WebSocket_Options();

  mutable ACE_Thread_Mutex lock_;
  std::string host_;     // guarded by lock_
  unsigned short port_;  // guarded by lock_
  bool ssl_;             // guarded by lock_
  std::string cookie_;   // guarded by lock_
};

#endif
