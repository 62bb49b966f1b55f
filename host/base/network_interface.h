#ifndef HOST_NETWORK_INTERFACE_H
#define HOST_NETWORK_INTERFACE_H

#include <ace/INET_Addr.h>

#include <string>
#include <vector>

// One address of one local network interface. An interface with several
// addresses (IPv4 and IPv6, aliases) appears once per address.
struct Network_Interface {
  std::string name;         // "lo", "eth0"
  unsigned int index = 0;   // the kernel's interface index
  ACE_INET_Addr address;    // port 0
  ACE_INET_Addr netmask;    // port 0; any-address when the system gives none
  ACE_INET_Addr broadcast;  // IPv4 broadcast address; any-address when none
  std::string mac_address;  // "aa:bb:cc:dd:ee:ff"; empty for interfaces without one
};

// A snapshot of the machine's interface addresses (getifaddrs), taken when
// the enumerator is built; only IPv4 and IPv6 addresses are listed.
// Iterate it to visit each address once, in the system's order. When the
// snapshot fails, it is empty and error() holds the errno (the failure is
// logged once). Not thread-safe; build one per use.
class Network_Interface_Enumerator {
 public:
  typedef std::vector<Network_Interface>::const_iterator const_iterator;

  Network_Interface_Enumerator();

  const_iterator begin() const { return interfaces_.begin(); }
  const_iterator end() const { return interfaces_.end(); }
  size_t size() const { return interfaces_.size(); }
  int error() const { return error_; }

 private:
  std::vector<Network_Interface> interfaces_;
  int error_ = 0;
};

#endif
