#include "host/base/network_interface.h"

#include <ace/Log_Msg.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <map>

namespace {

// addr as an ACE_INET_Addr; false for families other than IPv4 and IPv6.
bool to_inet(const struct sockaddr* sa, ACE_INET_Addr& out) {
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET) return out.set(reinterpret_cast<const sockaddr_in*>(sa), sizeof(sockaddr_in)) == 0;
  if (sa->sa_family == AF_INET6) return out.set(reinterpret_cast<const sockaddr_in*>(sa), sizeof(sockaddr_in6)) == 0;
  return false;
}

std::string mac_text(const struct sockaddr* sa) {
  const sockaddr_ll* ll = reinterpret_cast<const sockaddr_ll*>(sa);
  if (ll->sll_halen == 0) return std::string();
  std::string out;
  char part[4];
  for (int i = 0; i < ll->sll_halen && i < 8; ++i) {
    std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x", ll->sll_addr[i]);
    out += part;
  }
  return out == "00:00:00:00:00:00" ? std::string() : out;
}

}  // namespace

Network_Interface_Enumerator::Network_Interface_Enumerator() {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    error_ = errno;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to list network interfaces, errno=%d, %m\n"), error_));
    return;
  }
  std::map<std::string, std::string> macs;
  for (const struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next)
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_PACKET)
      macs[ifa->ifa_name] = mac_text(ifa->ifa_addr);
  for (const struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    Network_Interface entry;
    if (!to_inet(ifa->ifa_addr, entry.address)) continue;
    entry.name = ifa->ifa_name;
    entry.index = ::if_nametoindex(ifa->ifa_name);
    to_inet(ifa->ifa_netmask, entry.netmask);
    if ((ifa->ifa_flags & IFF_BROADCAST) != 0) to_inet(ifa->ifa_broadaddr, entry.broadcast);
    entry.mac_address = macs[entry.name];
    interfaces_.push_back(entry);
  }
  ::freeifaddrs(list);
}
