#ifndef HOST_PORT_CHECK_H
#define HOST_PORT_CHECK_H

// Whether a TCP socket of this machine (in the agent's network namespace)
// listens on `port`, on any local address, IPv4 or IPv6. Read from the
// kernel's socket tables (/proc/net/tcp and tcp6), so the listening server
// sees no connection; false when neither table can be read. Safe from any
// thread.
bool check_port_listening(unsigned short port);

#endif
