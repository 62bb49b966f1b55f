#include "host/services/instance_manager.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"

namespace {

std::string key_of(const std::string& type, const std::string& name) { return type + "\n" + name; }

std::string state_file(const char* name) {
  return agent_state_dir().empty() ? std::string() : agent_state_dir() + "/" + name;
}

bool text_map(const nlohmann::json& j, std::map<std::string, std::string>& out) {
  if (!j.is_object()) return false;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!it.value().is_string()) return false;
    out[it.key()] = it.value().get<std::string>();
  }
  return true;
}

// Parses instances.json: {"instances": [{"type", "name", "uuid", "options",
// "logon_options"}, ...]}. false for anything else.
bool parse_instances(const std::string& text, std::map<std::string, Instance_ptr>& out) {
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("instances") || !doc["instances"].is_array()) return false;
  for (const nlohmann::json& j : doc["instances"]) {
    if (!j.is_object()) return false;
    auto inst = std::make_shared<Instance>();
    for (auto it = j.begin(); it != j.end(); ++it) {
      const std::string& k = it.key();
      const nlohmann::json& v = it.value();
      if ((k == "type" || k == "name" || k == "uuid") && v.is_string()) {
        (k == "type" ? inst->type : k == "name" ? inst->name : inst->uuid) = v.get<std::string>();
      } else if (k == "options") {
        if (!text_map(v, inst->options)) return false;
      } else if (k == "logon_options") {
        if (!text_map(v, inst->logon_options)) return false;
      } else {
        return false;
      }
    }
    if (inst->type.empty() || inst->name.empty()) return false;
    out[key_of(inst->type, inst->name)] = inst;
  }
  return true;
}

}  // namespace

Instance_Manager* Instance_Manager::instance() {
  static Instance_Manager* manager = new Instance_Manager();
  return manager;
}

Instance_ptr Instance_Manager::find(const std::string& type, const std::string& name) const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, Instance_ptr());
  const auto it = instances_.find(key_of(type, name));
  return it == instances_.end() ? Instance_ptr() : it->second;
}

std::vector<Instance_ptr> Instance_Manager::list(const std::string& type) const {
  std::vector<Instance_ptr> out;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, out);
  for (const auto& entry : instances_)
    if (entry.second->type == type) out.push_back(entry.second);
  return out;
}

int Instance_Manager::get_account(const std::string& type, const std::string& name, const std::string& uid,
                                  std::string& user, secure_string& password, void*) const {
  user.clear();
  wipe(password);
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  const Account_Record* fallback = nullptr;
  for (const Account_Record& a : accounts_) {
    if (a.type != type || a.instance != name) continue;
    if (!uid.empty() && a.uid == uid) {
      user = a.user;
      password = a.password;
      return 0;
    }
    if (a.uid.empty()) fallback = &a;
  }
  if (fallback == nullptr) {
    errno = ENOENT;
    return -1;
  }
  user = fallback->user;
  password = fallback->password;
  return 0;
}

void Instance_Manager::add_instance(const Instance& inst) {
  auto copy = std::make_shared<Instance>(inst);
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  instances_[key_of(inst.type, inst.name)] = copy;
}

int Instance_Manager::update_options(const std::string& type, const std::string& name,
                                     const std::map<std::string, std::string>& options) {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  const auto it = instances_.find(key_of(type, name));
  if (it == instances_.end()) {
    errno = ENOENT;
    return -1;
  }
  auto copy = std::make_shared<Instance>(*it->second);
  for (const auto& kv : options) copy->options[kv.first] = kv.second;
  it->second = copy;
  return 0;
}

int Instance_Manager::remove_instance(const std::string& type, const std::string& name) {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  if (instances_.erase(key_of(type, name)) == 0) {
    errno = ENOENT;
    return -1;
  }
  std::vector<Account_Record> kept;
  for (const Account_Record& a : accounts_)
    if (a.type != type || a.instance != name) kept.push_back(a);
  accounts_.swap(kept);
  return 0;
}

void Instance_Manager::set_account(const std::string& type, const std::string& name, const std::string& uid,
                                   const std::string& user, const secure_string& password) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  for (Account_Record& a : accounts_) {
    if (a.type == type && a.instance == name && a.uid == uid) {
      a.user = user;
      wipe(a.password);
      a.password = password;
      return;
    }
  }
  Account_Record record;
  record.type = type;
  record.instance = name;
  record.uid = uid;
  record.user = user;
  record.password = password;
  accounts_.push_back(record);
}

void Instance_Manager::clear() {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  instances_.clear();
  accounts_.clear();
}

int Instance_Manager::load() {
  const std::string inst_path = state_file("instances.json");
  const std::string acct_path = state_file("accounts.json");
  if (inst_path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The agent state directory is not set\n")));
    return -1;
  }
  Instance_Map instances;
  std::ifstream in(inst_path);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    if (!parse_instances(text.str(), instances)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C is not a valid instance registry\n"), inst_path.c_str()));
      return -1;
    }
  }
  std::vector<Account_Record> accounts;
  if (!read_account_file(acct_path, accounts)) return -1;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  instances_.swap(instances);
  accounts_.swap(accounts);
  return 0;
}

int Instance_Manager::save() const {
  const std::string inst_path = state_file("instances.json");
  const std::string acct_path = state_file("accounts.json");
  if (inst_path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The agent state directory is not set\n")));
    return -1;
  }
  nlohmann::json list = nlohmann::json::array();
  std::vector<Account_Record> accounts;
  {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    for (const auto& entry : instances_) {
      const Instance& i = *entry.second;
      list.push_back({{"type", i.type},
                      {"name", i.name},
                      {"uuid", i.uuid},
                      {"options", i.options},
                      {"logon_options", i.logon_options}});
    }
    accounts = accounts_;
  }
  if (mkdir_p(agent_state_dir(), 0700) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create %C, errno=%d, %m\n"), agent_state_dir().c_str(), errno));
    return -1;
  }
  const std::string text = nlohmann::json({{"instances", list}}).dump(2) + "\n";
  const std::string tmp = temp_path_for(inst_path);
  std::ofstream out(tmp, std::ios::trunc);
  out << text;
  out.close();
  if (!out || ::rename(tmp.c_str(), inst_path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write %C\n"), inst_path.c_str()));
    return -1;
  }
  return write_account_file(acct_path, accounts) ? 0 : -1;
}
