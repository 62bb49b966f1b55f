#include "agent/pool_lookup.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/storage/pool_info.h"

bool pool_names(std::map<std::string, std::string>& out, std::string& err) {
  out.clear();
  const std::string path = pool_registry_path();
  std::ifstream in(path);
  if (!in) return true;
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json reg = nlohmann::json::parse(text.str(), nullptr, false);
  if (!reg.is_object() || !reg.contains("pools") || !reg["pools"].is_array()) {
    err = "the pool registry " + path + " is malformed";
    return false;
  }
  for (const nlohmann::json& p : reg["pools"]) {
    if (!p.is_object() || !p.contains("uuid") || !p["uuid"].is_string()) continue;
    const std::string name = p.contains("name") && p["name"].is_string() ? p["name"].get<std::string>() : "";
    out[p["uuid"].get<std::string>()] = name;
  }
  return true;
}

bool find_pool_uuid(const std::string& name, std::string& uuid, std::string& err) {
  std::map<std::string, std::string> pools;
  if (!pool_names(pools, err)) return false;
  for (const auto& p : pools) {
    if (p.second == name) {
      uuid = p.first;
      return true;
    }
  }
  err = "unknown pool \"" + name + "\" (add it with: pool add NAME --url URL)";
  return false;
}

bool find_pool(const std::string& name, Pool_Info& out, std::string& err) {
  std::string uuid;
  if (!find_pool_uuid(name, uuid, err)) return false;
  std::vector<Pool_Info> pools;
  if (!list_pools(pools)) {
    err = "cannot read the pool registry " + pool_registry_path();
    return false;
  }
  for (const Pool_Info& p : pools) {
    if (p.uuid != uuid) continue;
    out = p;
    return true;
  }
  err = "pool " + name + " is no longer registered";
  return false;
}
