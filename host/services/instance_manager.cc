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
#include "host/base/job_mutex.h"

namespace {

std::string key_of(const std::string& type, const std::string& name) { return type + "\n" + name; }

std::string account_key(const std::string& type, const std::string& name, const std::string& uid) {
  return type + "\n" + name + "\n" + uid;
}

std::string account_key(const Account_Record& a) { return account_key(a.type, a.instance, a.uid); }

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

// Reads instances.json; a missing file is an empty list. false (logged)
// when it is malformed.
bool read_instances(const std::string& path, std::map<std::string, Instance_ptr>& out) {
  std::ifstream in(path);
  if (!in) return true;
  std::stringstream text;
  text << in.rdbuf();
  if (parse_instances(text.str(), out)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C is not a valid instance registry\n"), path.c_str()));
  return false;
}

// Writes instances.json whole under a temporary name and renames it into
// place. false (logged) on failure, the old file then unchanged.
bool write_instances(const std::string& path, const std::map<std::string, Instance_ptr>& instances) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& entry : instances) {
    const Instance& i = *entry.second;
    list.push_back({{"type", i.type},
                    {"name", i.name},
                    {"uuid", i.uuid},
                    {"options", i.options},
                    {"logon_options", i.logon_options}});
  }
  const std::string text = nlohmann::json({{"instances", list}}).dump(2) + "\n";
  if (write_file_atomic(path, text.data(), text.size()) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write %C, errno=%d, %m\n"), path.c_str(), errno));
    return false;
  }
  return true;
}

// The registry's lock, shared by every agent on the state directory whose
// instances.json is `path`; `what` names the holder for the waiters' log.
// Logs why when it is not had in time.
std::unique_ptr<Job_Lock> lock_registry(const std::string& path, const char* what) {
  std::unique_ptr<Job_Lock> lock(
      new Job_Lock("instance registry " + path, what, ACE_Time_Value(Instance_Manager::LOCK_TIMEOUT_SECONDS)));
  if (!lock->locked())
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Cannot use the instance registry: %C\n"), lock->error().c_str()));
  return lock;
}

}  // namespace

Instance_Manager* Instance_Manager::instance() {
  static Instance_Manager* manager = new Instance_Manager();
  return manager;
}

Instance_ptr Instance_Manager::find(const std::string& type, const std::string& name) const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, Instance_ptr());
  const auto it = registry_.instances.find(key_of(type, name));
  return it == registry_.instances.end() ? Instance_ptr() : it->second;
}

std::vector<Instance_ptr> Instance_Manager::list(const std::string& type) const {
  std::vector<Instance_ptr> out;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, out);
  for (const auto& entry : registry_.instances)
    if (entry.second->type == type) out.push_back(entry.second);
  return out;
}

int Instance_Manager::get_account(const std::string& type, const std::string& name, const std::string& uid,
                                  std::string& user, secure_string& password, void*) const {
  user.clear();
  wipe(password);
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  const Account_Record* fallback = nullptr;
  for (const Account_Record& a : registry_.accounts) {
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
  const std::string key = key_of(inst.type, inst.name);
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  registry_.instances[key] = copy;
  changes_.instances.insert(key);
  ++version_;
}

int Instance_Manager::update_options(const std::string& type, const std::string& name,
                                     const std::map<std::string, std::string>& options) {
  const std::string key = key_of(type, name);
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  const auto it = registry_.instances.find(key);
  if (it == registry_.instances.end()) {
    errno = ENOENT;
    return -1;
  }
  auto copy = std::make_shared<Instance>(*it->second);
  for (const auto& kv : options) copy->options[kv.first] = kv.second;
  it->second = copy;
  changes_.instances.insert(key);
  ++version_;
  return 0;
}

int Instance_Manager::remove_instance(const std::string& type, const std::string& name) {
  const std::string key = key_of(type, name);
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  if (registry_.instances.erase(key) == 0) {
    errno = ENOENT;
    return -1;
  }
  std::vector<Account_Record> kept;
  for (const Account_Record& a : registry_.accounts)
    if (a.type != type || a.instance != name) kept.push_back(a);
  registry_.accounts.swap(kept);
  changes_.instances.insert(key);
  changes_.removed.insert(key);
  ++version_;
  return 0;
}

void Instance_Manager::set_account(const std::string& type, const std::string& name, const std::string& uid,
                                   const std::string& user, const secure_string& password) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  changes_.accounts.insert(account_key(type, name, uid));
  ++version_;
  for (Account_Record& a : registry_.accounts) {
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
  registry_.accounts.push_back(record);
}

void Instance_Manager::clear() {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  registry_ = Registry();
  changes_ = Changes();
  ++version_;
}

void Instance_Manager::merge(const Registry& from, const Changes& changes, Registry& into) {
  for (const std::string& key : changes.removed) {
    into.instances.erase(key);
    std::vector<Account_Record> kept;
    for (const Account_Record& a : into.accounts)
      if (key_of(a.type, a.instance) != key) kept.push_back(a);
    into.accounts.swap(kept);
  }
  for (const std::string& key : changes.instances) {
    const auto it = from.instances.find(key);
    if (it != from.instances.end())
      into.instances[key] = it->second;
    else
      into.instances.erase(key);
  }
  for (const std::string& key : changes.accounts) {
    const Account_Record* mine = nullptr;
    for (const Account_Record& a : from.accounts)
      if (account_key(a) == key) mine = &a;
    std::vector<Account_Record> out;
    bool placed = false;
    for (const Account_Record& a : into.accounts) {
      if (account_key(a) != key) {
        out.push_back(a);
      } else if (mine != nullptr && !placed) {
        out.push_back(*mine);
        placed = true;
      }
    }
    if (mine != nullptr && !placed) out.push_back(*mine);
    into.accounts.swap(out);
  }
}

int Instance_Manager::load() {
  const std::string inst_path = state_file("instances.json");
  const std::string acct_path = state_file("accounts.json");
  if (inst_path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The agent state directory is not set\n")));
    return -1;
  }
  Registry loaded;
  {
    // Both files as one save left them.
    const std::unique_ptr<Job_Lock> readers = lock_registry(inst_path, "instance registry read");
    if (!readers->locked()) return -1;
    if (!read_instances(inst_path, loaded.instances) || !read_account_file(acct_path, loaded.accounts)) return -1;
  }
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  registry_ = std::move(loaded);
  changes_ = Changes();
  ++version_;
  return 0;
}

int Instance_Manager::save() {
  const std::string inst_path = state_file("instances.json");
  const std::string acct_path = state_file("accounts.json");
  if (inst_path.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l The agent state directory is not set\n")));
    return -1;
  }
  if (mkdir_p(agent_state_dir(), 0700) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create %C, errno=%d, %m\n"), agent_state_dir().c_str(), errno));
    return -1;
  }
  // Held from the reread to the last write, and across the threads of this
  // process too, so that no other save comes in between.
  const std::unique_ptr<Job_Lock> writers = lock_registry(inst_path, "instance registry update");
  if (!writers->locked()) return -1;
  Registry merged;
  if (!read_instances(inst_path, merged.instances) || !read_account_file(acct_path, merged.accounts)) return -1;
  unsigned long long version = 0;
  {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    merge(registry_, changes_, merged);
    version = version_;
  }
  if (!write_instances(inst_path, merged.instances) || !write_account_file(acct_path, merged.accounts)) return -1;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
  if (version_ == version) {
    changes_ = Changes();
  } else {
    // Changed by another thread meanwhile: those changes stay in memory,
    // and all stay marked for the next save (writing one again is
    // harmless).
    merge(registry_, changes_, merged);
  }
  registry_ = std::move(merged);
  ++version_;
  return 0;
}
