#ifndef SIM_NET_H
#define SIM_NET_H

// The server's tiny wire protocol on 127.0.0.1:PORT: the client sends one
// line ("PING NAME" or "SHUTDOWN NAME"), the server answers one line
// ("OK NAME", "BYE NAME" or "ERR reason") and closes the connection.
// Every wait here is bounded.

#include <cstdint>
#include <string>

namespace sim {

// A listening TCP socket on 127.0.0.1:port (close-on-exec), or -1 with err.
int listen_local(uint16_t port, std::string& err);

// Sends line to 127.0.0.1:port and reads the one-line answer (without its
// line feed); connect and answer each wait at most timeout_ms. False with err
// when nothing listens, the peer closes early or time runs out.
bool request(uint16_t port, const std::string& line, std::string& reply, std::string& err, int timeout_ms = 3000);

// Reads one line of at most 512 bytes from a connected socket within
// timeout_ms; false on error, timeout or an over-long line.
bool read_line(int fd, std::string& line, int timeout_ms);

}  // namespace sim

#endif
