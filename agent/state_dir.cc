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

bool creation_allowed = true;

}  // namespace

void allow_state_dir_creation(bool allow) { creation_allowed = allow; }

bool open_state_dir(const std::string& dir, std::string& err) {
  if (dir.empty()) {
    err = "no state directory: give --state DIR or set $OSCAR_AGENT_STATE";
    return false;
  }
  const std::string abs = absolute(dir);
  if (abs.empty()) {
    err = std::string("cannot resolve the state directory: ") + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (!creation_allowed && ::stat(abs.c_str(), &st) != 0 && errno == ENOENT) {
    err = "the state directory " + abs +
          " does not exist (instance add or pool add makes it; --state, $OSCAR_AGENT_STATE or state in the "
          "configuration names another)";
    return false;
  }
  if (make_private_dir(abs, err) != 0) return false;
  const std::string root = abs + "/root";
  if (make_private_dir(root, err) != 0) return false;
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

namespace {

// Reads the identity file: 1 with id set, 0 when there is none, -1 (err
// set) when it is malformed.
int read_identity(const std::string& path, std::string& id, std::string& err) {
  std::ifstream in(path);
  if (!in) return 0;
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  if (!doc.is_object() || !doc.contains("host_id") || !doc["host_id"].is_string() ||
      doc["host_id"].get<std::string>().empty()) {
    err = path + " is malformed";
    return -1;
  }
  id = doc["host_id"].get<std::string>();
  return 1;
}

}  // namespace

std::string agent_host_id(std::string& err) {
  const std::string path = identity_path();
  std::string id;
  const int found = read_identity(path, id, err);
  if (found != 0) return found > 0 ? id : std::string();
  // Written whole under a name of its own, then linked into place: link
  // refuses an existing name, so when agents start on a new directory at
  // once exactly one identity is kept, and the others read that one.
  id = new_uuid();
  const std::string text = nlohmann::json{{"host_id", id}}.dump(2) + "\n";
  const int rc = write_file_atomic(path, text.data(), text.size(), false);
  const int saved = errno;
  if (rc == 0) return id;
  if (saved != EEXIST) {
    err = "cannot write " + path + ": " + std::strerror(saved);
    return std::string();
  }
  id.clear();
  if (read_identity(path, id, err) > 0) return id;
  if (err.empty()) err = "cannot read " + path;
  return std::string();
}

std::string new_uuid() {
  uuid_t u;
  uuid_generate(u);
  char text[37];
  uuid_unparse_lower(u, text);
  return text;
}
