#include "oscar/instance_info.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/regex.hpp>
#include <cerrno>
#include <memory>
#include <new>

#include "host/base/addr_string.h"
#include "host/base/get_env_r.h"
#include "host/base/network_interface.h"
#include "host/process/service_lister.h"
#include "host/services/instance_manager.h"
#include "oscar/arg_check.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/is_regular_file.h"
#include "tollix/read_each_line.h"
#include "tollix/snprintf_t.h"

namespace {

// Cuts the last path component (at "/" or a backslash); no separator left
// gives the empty text.
std::string strip_component(const std::string& path) {
  std::string::size_type pos = path.find_last_of("/\\");
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

bool find_vip(const std::string& line, std::string& result) {
  static const boost::regex re_vip("\\s*HA_SERVER_IP_ADDRESS\\s*=\\s*'*(\\d+\\.\\d+\\.\\d+\\.\\d+)'*\\s*",
                                   boost::regex::perl | boost::regex::icase);
  boost::smatch m;
  if (!boost::regex_match(line, m, re_vip)) return true;
  result = m.str(1);
  ACE_DEBUG((LM_DEBUG, ACE_TEXT("Oscar config vip: %s\n"), result.c_str()));
  return false;
}

// Describes one server process; false (logged) when it cannot be.
bool describe_process(const Service_Info& service, Oscar_Instance_Info& info) {
  static const boost::regex re_cmd("\\s*(\\S*oscar)\\s+.*-d\\s+(\\S+).*", boost::regex::perl);
  std::string home;
  get_env_r("SZ_OSCAR_HOME", home);
  boost::smatch m;
  if (!boost::regex_match(service.cmd, m, re_cmd)) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("Failed to get OSCAR instance info, command line mismatch: %s.\n"), service.cmd.c_str()));
    return false;
  }
  std::string program = m.str(1);
  if (!program.empty() && program[0] == '/') home = strip_component(strip_component(program));
  if (home.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("SZ_OSCAR_HOME is empty, need to configure.\n")));
    return false;
  }
  std::string name = m.str(2);
  if (name.size() >= 3 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  boost::algorithm::to_upper(name);
  uint16_t port = 0;
  if (!get_instance_port(home.c_str(), name.c_str(), port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get OSCAR instance %s port\n"), name.c_str()));
    return false;
  }
  // Discovery runs as root the isql of every server it finds: a home whose
  // programs others can change is left out (trusted_home logs why).
  if (!oscar::trusted_home(home, name)) return false;
  std::string version;
  if (!get_isql_version(home.c_str(), version, false)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get OSCAR instance %s version\n"), name.c_str()));
    return false;
  }
  info.instance = name;
  info.oscar_home = home;
  info.version = version;
  return true;
}

}  // namespace

bool get_instance_info(Oscar_Instance_Infos& inst_infos, const char* locale) {
  std::vector<Service_Info> services;
  if (Service_Lister::list_service("oscar\\s+.*-d\\s+\\S+.*", services, false, locale) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to list service.\n")));
    return false;
  }
  for (const auto& service : services) {
    Oscar_Instance_Info info;
    if (describe_process(service, info)) inst_infos[info.instance] = std::move(info);
  }
  return true;
}

bool get_vip_from_conf(const char* oscar_home, const char* instance, std::string& vip) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  OSCAR_CHECK_TEXT_ARG(instance, false);
  snprintf_t<32> name("%s.conf", instance);
  std::string path = std::string(oscar_home) + "/admin/" + name.c_str();
  if (!is_regular_file(path.c_str())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Instance config file %s does not exist.\n"), path.c_str()));
    return false;
  }
  read_each_line(
      path.c_str(), [&vip](const std::string& line) { return find_vip(line, vip); }, false);
  return !vip.empty();
}

bool get_cluster_nodes(const char* oscar_home, const char* instance, const char* username, const char* password,
                       const char* virtual_address, std::vector<Oscar_Node_Info>& nodes) {
  uint16_t port = 0;
  if (!get_instance_port(oscar_home, instance, port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get OSCAR instance %s port.\n"), instance ? instance : ""));
    return false;
  }
  if (virtual_address != nullptr && *virtual_address != '\0' &&
      get_cluster_nodes_info(oscar_home, instance, username, password, port, virtual_address, nodes)) {
    return true;
  }
  std::string vip;
  if (!get_vip_from_conf(oscar_home, instance, vip)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get instance %s vip from configure.\n"), instance));
    return false;
  }
  return get_cluster_nodes_info(oscar_home, instance, username, password, port, vip.c_str(), nodes);
}

bool get_update_attrs(const char* oscar_home, const char* instance, const char* username, const char* password,
                      std::map<std::string, nlohmann::json>& attrs) {
  std::vector<Oscar_Node_Info> nodes;
  if (!get_cluster_nodes(oscar_home, instance, username, password, nullptr, nodes)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar(%s) nodes info.\n"), instance ? instance : ""));
    return false;
  }
  std::unique_ptr<Network_Interface_Enumerator> interfaces(new (std::nothrow) Network_Interface_Enumerator());
  if (!interfaces) {
    errno = ENOMEM;
    return false;
  }
  for (const auto& itf : *interfaces) {
    std::string address = ACE_Addr_String(itf.address, false).str();
    for (const auto& node : nodes) {
      if (node.status == "master") attrs["master_id"] = node.node_id;
      if (node.host == address) {
        attrs["instance"] = instance;
        attrs["node_id"] = node.node_id;
      }
      if (attrs.count("node_id") != 0 && attrs.count("master_id") != 0) {
        Instance_Manager* instmgr = Instance_Manager::instance();
        if (instmgr != nullptr && instmgr->find("oscar", instance)) {
          // The host's record keeps options as texts: strings as they are,
          // other values in their JSON form.
          std::map<std::string, std::string> options;
          for (const auto& kv : attrs)
            options[kv.first] = kv.second.is_string() ? kv.second.get<std::string>() : kv.second.dump();
          instmgr->update_options("oscar", instance, options);
        }
        return true;
      }
    }
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar(%s) update attrs.\n"), instance));
  return false;
}
