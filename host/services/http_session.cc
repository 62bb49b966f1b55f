#include "host/services/http_session.h"

#include <cerrno>
#include <new>

HTTP_Session* HTTP_Session_Factory::create(const std::string& host, unsigned short port, bool ssl,
                                           const char* certificate_file, int connect_attempts,
                                           const char* local_address, bool keep_alive, int connect_timeout_seconds,
                                           int io_timeout_seconds, int send_buffer_size, int receive_buffer_size) {
  if (host.empty() || port == 0 || connect_attempts < 1 || connect_timeout_seconds < 1 || io_timeout_seconds < 1 ||
      send_buffer_size < 0 || receive_buffer_size < 0) {
    errno = EINVAL;
    return nullptr;
  }
  HTTP_Session* s = new (std::nothrow) HTTP_Session();
  if (s == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  s->host_ = host;
  s->port_ = port;
  s->ssl_ = ssl;
  s->certificate_file_ = certificate_file != nullptr ? certificate_file : "";
  s->connect_attempts_ = connect_attempts;
  s->local_address_ = local_address != nullptr ? local_address : "";
  s->keep_alive_ = keep_alive;
  s->connect_timeout_seconds_ = connect_timeout_seconds;
  s->io_timeout_seconds_ = io_timeout_seconds;
  s->send_buffer_size_ = send_buffer_size;
  s->receive_buffer_size_ = receive_buffer_size;
  return s;
}
