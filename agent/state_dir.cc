#include "agent/state_dir.h"

#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/services/host_manager.h"
#include "host/services/instance_manager.h"

namespace {

std::string absolute(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
  return std::string(cwd) + "/" + dir;
}

std::string identity_path() { return agent_state_dir() + "/agent.json"; }

}  // namespace

bool open_state_dir(const std::string& dir, std::string& err) {
  if (dir.empty()) {
    err = "--state DIR is required";
    return false;
  }
  const std::string abs = absolute(dir);
  if (abs.empty()) {
    err = std::string("cannot resolve the state directory: ") + std::strerror(errno);
    return false;
  }
  if (mkdir_p(abs, 0700) != 0) {
    err = "cannot make the state directory " + abs + ": " + std::strerror(errno);
    return false;
  }
  const std::string root = abs + "/root";
  if (mkdir_p(root, 0700) != 0) {
    err = "cannot make " + root + ": " + std::strerror(errno);
    return false;
  }
  set_agent_state_dir(abs);
  set_host_root_prefix(root);
  if (Instance_Manager::instance()->load() != 0) {
    err = "cannot read the instance registry in " + abs;
    return false;
  }
  if (Host_Manager::instance()->load() != 0) {
    err = "cannot read the host settings in " + abs;
    return false;
  }
  return true;
}

std::string agent_host_id(std::string& err) {
  const std::string path = identity_path();
  std::ifstream in(path);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
    if (!doc.is_object() || !doc.contains("host_id") || !doc["host_id"].is_string() ||
        doc["host_id"].get<std::string>().empty()) {
      err = path + " is malformed";
      return std::string();
    }
    return doc["host_id"].get<std::string>();
  }
  const std::string id = new_uuid();
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << nlohmann::json{{"host_id", id}}.dump(2) << "\n";
    if (!out.flush()) {
      err = "cannot write " + tmp;
      return std::string();
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    err = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return std::string();
  }
  return id;
}

std::string new_uuid() {
  uuid_t u;
  uuid_generate(u);
  char text[37];
  uuid_unparse_lower(u, text);
  return text;
}
