#include "home.h"

#include <signal.h>

#include <cctype>
#include <cerrno>
#include <fstream>

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

namespace {

void skip_blanks(const std::string& s, size_t& i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
}

size_t skip_digits(const std::string& s, size_t i) {
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// "\s*port\s*=\s*(\d+).*": true with the digits in value.
bool match_port_line(const std::string& line, std::string& value) {
  size_t i = 0;
  skip_blanks(line, i);
  if (line.compare(i, 4, "port") != 0) return false;
  i += 4;
  skip_blanks(line, i);
  if (i >= line.size() || line[i] != '=') return false;
  skip_blanks(line, ++i);
  size_t e = skip_digits(line, i);
  if (e == i) return false;
  value = line.substr(i, e - i);
  return true;
}

// "\s*HA_SERVER_IP_ADDRESS\s*=\s*'*(\d+\.\d+\.\d+\.\d+)'*\s*", ignoring case.
bool match_vip_line(const std::string& line, std::string& value) {
  static const std::string key = "HA_SERVER_IP_ADDRESS";
  size_t i = 0;
  skip_blanks(line, i);
  if (!iequals(line.substr(i, key.size()), key)) return false;
  i += key.size();
  skip_blanks(line, i);
  if (i >= line.size() || line[i] != '=') return false;
  skip_blanks(line, ++i);
  while (i < line.size() && line[i] == '\'') ++i;
  size_t b = i;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= line.size() || line[i] != '.') return false;
      ++i;
    }
    size_t e = skip_digits(line, i);
    if (e == i) return false;
    i = e;
  }
  value = line.substr(b, i - b);
  while (i < line.size() && line[i] == '\'') ++i;
  skip_blanks(line, i);
  return i == line.size();
}

}  // namespace

Instance_Conf read_instance_conf(const Home& home, const std::string& inst) {
  Instance_Conf conf;
  std::ifstream in(home.conf_file(inst));
  if (!in) return conf;
  conf.exists = true;
  std::string line, value;
  while (std::getline(in, line)) {
    if (!conf.has_port && match_port_line(line, value)) {
      uint64_t v = 0;
      if (parse_u64(value, v) && v > 0 && v < 65536) {
        conf.has_port = true;
        conf.port = static_cast<uint16_t>(v);
      }
    } else if (conf.vip.empty() && match_vip_line(line, value)) {
      conf.vip = value;
    }
  }
  return conf;
}

bool is_dotted_ipv4(const std::string& text) {
  std::string line = "HA_SERVER_IP_ADDRESS=" + text, value;
  return match_vip_line(line, value) && value == text;
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
