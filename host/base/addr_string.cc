#include "host/base/addr_string.h"

ACE_Addr_String::ACE_Addr_String(const ACE_INET_Addr& addr, bool with_port) {
  char host[INET6_ADDRSTRLEN + 1];
  if (addr.get_host_addr(host, sizeof host) == nullptr) return;
  text_ = host;
  if (!with_port) return;
  const std::string port = std::to_string(addr.get_port_number());
  text_ = addr.get_type() == AF_INET6 ? "[" + text_ + "]:" + port : text_ + ":" + port;
}
