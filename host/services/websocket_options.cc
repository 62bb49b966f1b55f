#include "host/services/websocket_options.h"

#include <ace/Guard_T.h>

const char WebSocket_Options::DEFAULT_HOST[] = "127.0.0.1";

WebSocket_Options::WebSocket_Options() : host_(DEFAULT_HOST), port_(DEFAULT_PORT), ssl_(true) {}

WebSocket_Options* WebSocket_Options::instance() {
  static WebSocket_Options options;
  return &options;
}

std::string WebSocket_Options::host() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return host_;
}

unsigned short WebSocket_Options::port() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return port_;
}

bool WebSocket_Options::ssl() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return ssl_;
}

std::string WebSocket_Options::cookie() const {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  return cookie_;
}

void WebSocket_Options::host(const std::string& v) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  host_ = v;
}

void WebSocket_Options::port(unsigned short v) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  port_ = v;
}

void WebSocket_Options::ssl(bool v) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  ssl_ = v;
}

void WebSocket_Options::cookie(const std::string& v) {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  cookie_ = v;
}
