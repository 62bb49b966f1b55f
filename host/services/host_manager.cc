#include "host/services/host_manager.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"

namespace {
std::string host_file() { return agent_state_dir().empty() ? std::string() : agent_state_dir() + "/host.json"; }
}  // namespace

Host_Manager::Host_Manager() {
  struct utsname u;
  if (uname(&u) == 0) name_ = u.nodename;
}

Host_Manager* Host_Manager::instance() {
  static Host_Manager* manager = new Host_Manager();
  return manager;
}

bool Host_Manager::on_backupd() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, false);
  return on_backupd_;
}

std::string Host_Manager::access_key() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, std::string());
  return access_key_;
}

std::string Host_Manager::node_access_key() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, std::string());
  return node_access_key_;
}

std::string Host_Manager::name() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, std::string());
  return name_;
}

const char* Host_Manager::http_head_string(int n) const { return n == HTTP_HEAD_ACCESS_KEY ? "X-Access-Key" : nullptr; }

void Host_Manager::on_backupd(bool v) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  on_backupd_ = v;
}

void Host_Manager::access_key(const std::string& v) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  access_key_ = v;
}

void Host_Manager::node_access_key(const std::string& v) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  node_access_key_ = v;
}

void Host_Manager::name(const std::string& v) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  name_ = v;
}

int Host_Manager::load() {
  const std::string path = host_file();
  if (path.empty()) return 0;
  std::ifstream in(path);
  if (!in) return 0;
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  if (!doc.is_object()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C is not a JSON object\n"), path.c_str()));
    return -1;
  }
  const auto text_of = [&doc](const char* key, std::string& out) {
    const auto it = doc.find(key);
    if (it == doc.end()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  };
  std::string name, access, node_access;
  {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    name = name_;
    access = access_key_;
    node_access = node_access_key_;
  }
  bool backupd = on_backupd();
  const auto flag = doc.find("on_backupd");
  const bool flag_ok = flag == doc.end() || flag->is_boolean();
  if (flag_ok && flag != doc.end()) backupd = flag->get<bool>();
  if (!flag_ok || !text_of("name", name) || !text_of("access_key", access) ||
      !text_of("node_access_key", node_access)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C holds a value of the wrong type\n"), path.c_str()));
    return -1;
  }
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  on_backupd_ = backupd;
  name_ = name;
  access_key_ = access;
  node_access_key_ = node_access;
  return 0;
}

int Host_Manager::save() const {
  const std::string path = host_file();
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  nlohmann::json doc;
  {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    doc = {{"name", name_},
           {"on_backupd", on_backupd_},
           {"access_key", access_key_},
           {"node_access_key", node_access_key_}};
  }
  const std::string text = doc.dump(2) + "\n";
  mkdir_p(agent_state_dir(), 0700);
  if (write_file_atomic(path, text.data(), text.size()) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write %C, errno=%d, %m\n"), path.c_str(), errno));
    return -1;
  }
  return 0;
}
