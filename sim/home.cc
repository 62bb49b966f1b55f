#include "home.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <regex>

#include "sim_util.h"

namespace sim {

std::string home_of_program(const char* argv0) {
  std::string p = argv0 ? argv0 : "";
  if (!p.empty() && p[0] == '/') {
    std::string bin = dir_name(p);
    if (base_name(bin) == "bin") return dir_name(bin);
  }
  return env_or_empty("SZ_OSCAR_HOME");
}

Instance_Conf read_instance_conf(const Home& home, const std::string& inst) {
  static const std::regex port_re("\\s*port\\s*=\\s*(\\d+).*");
  static const std::regex vip_re("\\s*HA_SERVER_IP_ADDRESS\\s*=\\s*'*(\\d+\\.\\d+\\.\\d+\\.\\d+)'*\\s*",
                                 std::regex::icase);
  Instance_Conf conf;
  std::ifstream in(home.conf_file(inst));
  if (!in) return conf;
  conf.exists = true;
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (!conf.has_port && std::regex_match(line, m, port_re)) {
      uint64_t v = 0;
      if (parse_u64(m[1].str(), v) && v > 0 && v < 65536) {
        conf.has_port = true;
        conf.port = static_cast<uint16_t>(v);
      }
    } else if (conf.vip.empty() && std::regex_match(line, m, vip_re)) {
      conf.vip = m[1].str();
    }
  }
  return conf;
}

std::string format_instance_conf(uint16_t port, const std::string& vip) {
  std::string text = "# OSCAR instance configuration\nport = " + std::to_string(port) + "\n";
  if (!vip.empty()) text += "HA_SERVER_IP_ADDRESS = '" + vip + "'\n";
  return text;
}

std::string server_command_line(const Home& home, const std::string& inst) {
  return home.tool("oscar") + " -o " + home.root + " -d " + inst;
}

namespace {

// A zombie or a vanished process is not running.
bool alive(int pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  std::string stat;
  if (!read_text_file("/proc/" + std::to_string(pid) + "/stat", stat)) return false;
  size_t p = stat.rfind(')');
  return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] != 'Z';
}

}  // namespace

int running_server_pid(const Home& home, const std::string& inst) {
  std::string text;
  if (!read_text_file(home.pid_file(inst), text)) return 0;
  uint64_t pid = 0;
  if (!parse_u64(trim(text.substr(0, text.find('\n'))), pid) || pid == 0 || pid > 4194304) return 0;
  int ipid = static_cast<int>(pid);
  if (!alive(ipid)) return 0;
  std::string cmdline;
  if (!read_text_file("/proc/" + std::to_string(ipid) + "/cmdline", cmdline)) return 0;
  for (char& c : cmdline) {
    if (c == '\0') c = ' ';
  }
  return trim(cmdline) == server_command_line(home, inst) ? ipid : 0;
}

}  // namespace sim
