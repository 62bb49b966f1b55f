#ifndef HOST_INSTANCE_MANAGER_H
#define HOST_INSTANCE_MANAGER_H

#include <ace/Thread_Mutex.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/services/account_file.h"
#include "tollix/secure_allocator.h"

// A database instance registered with the agent: its type ("oscar"), name,
// uuid, the options the module reads ("oscar_home", "version", and what
// discovery adds) and the logon options.
struct Instance {
  std::string type;
  std::string name;
  std::string uuid;
  std::map<std::string, std::string> options;
  std::map<std::string, std::string> logon_options;
};

// A registered instance as handed out: an immutable snapshot; changes to
// the registry replace the record and never touch a snapshot in use.
typedef std::shared_ptr<const Instance> Instance_ptr;

// The agent's registry of database instances and their accounts, kept in
// the agent state directory: instances.json (no secrets) and accounts.json
// (mode 0600, see account_file.h). Passwords are held only in secure strings
// and never logged. One per process; every member is thread-safe.
class Instance_Manager {
 public:
  // The process's manager; never null here (callers still check, as a real
  // host may have none).
  static Instance_Manager* instance();

  // The instance of `type` named `name`, or empty.
  Instance_ptr find(const std::string& type, const std::string& name) const;

  // Every registered instance of `type`, by name.
  std::vector<Instance_ptr> list(const std::string& type) const;

  // The account for a job definition `uid` on the instance: the account
  // stored for that uid, else the instance's default account (stored with an
  // empty uid). Answers 0 with user and password filled, or -1 (both
  // cleared, errno ENOENT) when there is none. `reserved` must be null.
  int get_account(const std::string& type, const std::string& name, const std::string& uid, std::string& user,
                  secure_string& password, void* reserved) const;

  // Registers (or replaces) an instance.
  void add_instance(const Instance& inst);
  // Merges `options` into a registered instance's options; -1 (errno
  // ENOENT) when the instance is not registered.
  int update_options(const std::string& type, const std::string& name,
                     const std::map<std::string, std::string>& options);
  // Forgets a registered instance and every account stored for it (in
  // memory; save() writes it). -1 (errno ENOENT) when it is not registered.
  int remove_instance(const std::string& type, const std::string& name);
  // Stores (or replaces) an account; an empty `uid` sets the default.
  void set_account(const std::string& type, const std::string& name, const std::string& uid, const std::string& user,
                   const secure_string& password);
  // Forgets every instance and account (in memory only).
  void clear();

  // Loads both files from the agent state directory, replacing the
  // registry. Missing files are an empty registry. -1 (logged, registry
  // unchanged) when a file is malformed or the accounts file is readable by
  // anyone but its owner.
  int load();
  // Writes both files; -1 (logged) on failure.
  int save() const;

 private:
  Instance_Manager() = default;
  typedef std::map<std::string, Instance_ptr> Instance_Map;  // key: type "\n" name
  mutable ACE_Thread_Mutex lock_;
  Instance_Map instances_;                // guarded by lock_
  std::vector<Account_Record> accounts_;  // guarded by lock_
};

#endif
