#include "oscar/server_process.h"

#include <signal.h>

#include <boost/algorithm/string/predicate.hpp>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <vector>

namespace oscar {

namespace {

std::string unquoted(const std::string& s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    return s.substr(1, s.size() - 2);
  }
  return s;
}

}  // namespace

bool is_instance_server(int pid, const std::string& oscar_home, const std::string& instance) {
  if (pid <= 0 || instance.empty()) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  if (!in) return false;
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::string cur;
  for (char c : raw) {
    if (c == '\0') {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) args.push_back(cur);
  if (args.empty()) return false;
  const std::string& program = args[0];
  const std::size_t slash = program.rfind('/');
  if (program.substr(slash == std::string::npos ? 0 : slash + 1) != "oscar") return false;
  if (!program.empty() && program[0] == '/' && program != oscar_home + "/bin/oscar") return false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name;
    if (args[i] == "-d" && i + 1 < args.size()) {
      name = args[i + 1];
    } else if (args[i].size() > 2 && args[i].compare(0, 2, "-d") == 0) {
      name = args[i].substr(2);
    } else {
      continue;
    }
    if (boost::iequals(unquoted(name), instance)) return true;
  }
  return false;
}

bool process_gone(int pid) {
  if (pid <= 0) return true;
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return ::kill(pid, 0) != 0 && errno == ESRCH;
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace oscar
