#include "agent/cluster_settings.h"

#include <regex>

#include "agent/coordinator_token.h"
#include "agent/instance_access.h"

namespace {

const char* const COORDINATOR_OPTION = "cluster_coordinator";
const char* const TOKEN_FILE_OPTION = "cluster_token_file";
const char* const IDENTITY_OPTION = "cluster_identity";

std::string option_of(const Instance& inst, const char* key) {
  const auto it = inst.options.find(key);
  return it == inst.options.end() ? std::string() : it->second;
}

}  // namespace

bool cluster_settings(const Instance& inst, Cluster_Settings& out) {
  out.coordinator = option_of(inst, COORDINATOR_OPTION);
  out.token_file = option_of(inst, TOKEN_FILE_OPTION);
  out.identity = option_of(inst, IDENTITY_OPTION);
  return !out.coordinator.empty() && !out.token_file.empty() && !out.identity.empty();
}

std::map<std::string, std::string> cluster_options(const Cluster_Settings& settings) {
  return {{COORDINATOR_OPTION, settings.coordinator},
          {TOKEN_FILE_OPTION, settings.token_file},
          {IDENTITY_OPTION, settings.identity}};
}

bool cluster_settings_from_line(const Command_Line& line, const std::string& name, const std::string& home,
                                Cluster_Settings& out, bool& given, std::string& err) {
  const std::string url = option_value(line, "coordinator");
  const std::string token_file = option_value(line, "coordinator-token-file");
  given = !url.empty() || !token_file.empty();
  if (!given) return true;
  if (url.empty() || token_file.empty()) {
    err = "--coordinator and --coordinator-token-file go together";
    return false;
  }
  static const std::regex form("https?://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?/?");
  if (!std::regex_match(url, form)) {
    err = "--coordinator must be http://HOST[:PORT] or https://HOST[:PORT], not \"" + url + "\"";
    return false;
  }
  std::string token;
  if (!read_token_file(token_file, token, err)) return false;
  const std::string vip = configured_virtual_address(home, name);
  if (vip.empty()) {
    err = "instance " + name + " is not clustered: " + home + "/admin/" + name +
          ".conf names no virtual address (HA_SERVER_IP_ADDRESS), which the cluster's identity rests on";
    return false;
  }
  out.coordinator = url;
  out.token_file = token_file;
  out.identity = name + "@" + vip;
  return true;
}

bool coordinator_endpoint(const Cluster_Settings& settings, Coordinator_Endpoint& endpoint, std::string& err) {
  endpoint.url = settings.coordinator;
  return read_token_file(settings.token_file, endpoint.token, err);
}
