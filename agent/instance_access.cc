#include "agent/instance_access.h"

#include <ace/Log_Msg.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "host/base/agent_state.h"
#include "host/process/home_trust.h"

Module_Log::Module_Log()
    : path_(agent_state_dir() + "/logs/discovery.log"),
      callback_(std::make_shared<Job_Log_Callback>(path_)),
      had_stderr_((ACE_LOG_MSG->flags() & ACE_Log_Msg::STDERR) != 0) {
  bind_log_callback(callback_);
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
}

Module_Log::~Module_Log() {
  if (bound_log_callback() == callback_) bind_log_callback(ACE_Log_Msg_Callback_var());
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
  if (had_stderr_) ACE_LOG_MSG->set_flags(ACE_Log_Msg::STDERR);
}

bool find_registered(const std::string& name, Registered_Instance& out, std::string& err) {
  Instance_Manager* mgr = Instance_Manager::instance();
  out.record = mgr->find("oscar", name);
  if (!out.record) {
    err = "unknown instance \"" + name + "\" (add it with: instance add NAME --home ... or discover --register)";
    return false;
  }
  out.name = name;
  auto home = out.record->options.find("oscar_home");
  if (home == out.record->options.end() || home->second.empty()) {
    err = "instance " + name + " has no home in the registry";
    return false;
  }
  out.home = home->second;
  if (mgr->get_account("oscar", name, "", out.user, out.password, nullptr) != 0) {
    err = "instance " + name + " has no registered account";
    return false;
  }
  return true;
}

bool home_trusted(const std::string& name, const std::string& home, std::string& err) {
  std::vector<std::string> problems;
  if (check_home_programs(home, name, problems)) return true;
  // A home that cannot be read is not refused for its programs: say so.
  const bool unreadable = problems[0].compare(0, 20, "cannot read the home") == 0;
  err = name + (unreadable ? ": " : ": home " + home + " refused: ") + problems[0];
  if (problems.size() > 1)
    err += " (and " + std::to_string(problems.size() - 1) + " more; check " + name + " lists them)";
  return false;
}

bool check_reachable(const Oscar_Module& module, const Registered_Instance& inst, std::string& err) {
  struct stat st;
  if (::stat(inst.home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    err = "the home " + inst.home + " of instance " + inst.name + " does not exist";
    return false;
  }
  if (!home_trusted(inst.name, inst.home, err)) return false;
  std::string state;
  if (!module.functions().get_instance_state(inst.home.c_str(), inst.name.c_str(), state)) {
    uint16_t port = 0;
    const bool known = module.functions().get_instance_port(inst.home.c_str(), inst.name.c_str(), port);
    err = "instance " + inst.name + " is not running" +
          (known ? " (nothing listens on port " + std::to_string(port) + ")" : " (its port cannot be read)");
    return false;
  }
  std::string why;
  if (!module.test_login(inst.home, inst.name, inst.user, inst.password.c_str(), why)) {
    err = "the login of " + inst.user + " to instance " + inst.name + " failed: " + why;
    return false;
  }
  return true;
}

bool proc_hides_processes(const std::string& mounts) {
  std::istringstream in(mounts);
  std::string line;
  bool hides = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, dir, type, options;
    if (!(fields >> device >> dir >> type >> options) || dir != "/proc" || type != "proc") continue;
    // The last mount on /proc is the one in effect.
    hides = false;
    std::istringstream opts(options);
    std::string opt;
    while (std::getline(opts, opt, ',')) {
      if (opt.compare(0, 8, "hidepid=") != 0) continue;
      const std::string v = opt.substr(8);
      hides = v != "0" && v != "off";
    }
  }
  return hides;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string configured_virtual_address(const std::string& home, const std::string& name) {
  // The same line the module looks for when it queries the cluster.
  static const std::regex re("\\s*HA_SERVER_IP_ADDRESS\\s*=\\s*'*(\\d+\\.\\d+\\.\\d+\\.\\d+)'*\\s*", std::regex::icase);
  std::istringstream in(read_text_file(home + "/admin/" + name + ".conf"));
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, re)) return m[1].str();
  }
  return std::string();
}

std::string format_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width;
  for (const auto& row : rows) {
    if (width.size() < row.size()) width.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string text;
    for (std::size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) text += std::string(width[i] - row[i].size() + 2, ' ');
    }
    // An empty last cell leaves no blanks at the end of its line.
    text.erase(text.find_last_not_of(' ') + 1);
    out += text + "\n";
  }
  return out;
}
