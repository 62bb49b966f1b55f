#ifndef SIM_HOME_H
#define SIM_HOME_H

// The layout of a simulated database home:
//   HOME/bin/{oscar,isql,brcmd,osrexp,osrimp}   links to the simulator
//   HOME/admin/NAME.conf                        port and virtual address lines
//   HOME/admin/NAME.db                          pid of the running server
//   HOME/admin/NAME.log                         the server's own output
//   HOME/admin/oscar-sim.json                   the state file (all instances)
//   HOME/agent/lastlsn.dat                      backup chain state
//   HOME/odbs/NAME/                             data files
// Every function is a pure path computation or a short file read.

#include <cstdint>
#include <string>

namespace sim {

struct Home {
  std::string root;

  std::string bin_dir() const { return root + "/bin"; }
  std::string admin_dir() const { return root + "/admin"; }
  std::string tool(const std::string& name) const { return bin_dir() + "/" + name; }
  std::string conf_file(const std::string& inst) const { return admin_dir() + "/" + inst + ".conf"; }
  std::string pid_file(const std::string& inst) const { return admin_dir() + "/" + inst + ".db"; }
  std::string server_log(const std::string& inst) const { return admin_dir() + "/" + inst + ".log"; }
  std::string state_file() const { return admin_dir() + "/oscar-sim.json"; }
  std::string state_lock() const { return admin_dir() + "/oscar-sim.lock"; }
  std::string data_lock(const std::string& inst) const { return admin_dir() + "/" + inst + ".data.lock"; }
  std::string lastlsn_file() const { return root + "/agent/lastlsn.dat"; }
  std::string data_dir(const std::string& inst) const { return root + "/odbs/" + inst; }
};

// The home a tool belongs to: the directory above bin/ when the program was
// started by an absolute path (HOME/bin/isql), else $SZ_OSCAR_HOME. Empty
// when neither is known.
std::string home_of_program(const char* argv0);

// What the instance configuration file says. The port line is the first
// line matching "\s*port\s*=\s*(\d+).*"; the virtual address line matches
// (case-insensitively) "\s*HA_SERVER_IP_ADDRESS\s*=\s*'*(\d+\.\d+\.\d+\.\d+)'*\s*".
struct Instance_Conf {
  bool exists = false;
  bool has_port = false;
  uint16_t port = 0;
  std::string vip;
};
Instance_Conf read_instance_conf(const Home& home, const std::string& inst);

// Whether text is four dot-separated groups of digits.
bool is_dotted_ipv4(const std::string& text);

// The conf file text written by init.
std::string format_instance_conf(uint16_t port, const std::string& vip);

// The pid in the instance's pid file when that process is alive (not a
// zombie) and its command line is this instance's server; else 0.
int running_server_pid(const Home& home, const std::string& inst);

// The server's command line for an instance, as it appears in /proc.
std::string server_command_line(const Home& home, const std::string& inst);

}  // namespace sim

#endif
