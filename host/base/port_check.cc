#include "host/base/port_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

const char* const LISTEN_STATE = "0A";

// Looks port up in one /proc/net/tcp-style table: lines of
// "sl: local_address rem_address st ...", addresses as "HEX:PORTHEX".
bool listed_as_listening(const char* path, unsigned short port) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // heading
  while (std::getline(in, line)) {
    char local[128];
    char state[8];
    if (std::sscanf(line.c_str(), " %*[^:]: %127s %*s %7s", local, state) != 2) continue;
    if (std::strcmp(state, LISTEN_STATE) != 0) continue;
    const char* colon = std::strrchr(local, ':');
    if (colon != nullptr && std::strtoul(colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

}  // namespace

bool check_port_listening(unsigned short port) {
  return listed_as_listening("/proc/net/tcp", port) || listed_as_listening("/proc/net/tcp6", port);
}
