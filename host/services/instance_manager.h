#ifndef HOST_INSTANCE_MANAGER_H
#define HOST_INSTANCE_MANAGER_H

#include <ace/Thread_Mutex.h>

#include <map>
#include <memory>
#include <set>
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
//
// Several agent processes may share one state directory. The registry is
// read and written only under a lock they share (a Job_Lock on the
// registry, waited for at most LOCK_TIMEOUT_SECONDS), and save() rereads
// the files under it and writes back what they hold with only this
// process's changes put in: a registration made by another agent since this
// one loaded is never lost, whichever saves last. Changes are kept per
// record: for an instance or account that both changed, the last save wins.
class Instance_Manager {
 public:
  // Longest wait for the registry's lock held by another agent.
  static const int LOCK_TIMEOUT_SECONDS = 30;

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

  // The changes below are made in memory and written by save().

  // Registers (or replaces) an instance.
  void add_instance(const Instance& inst);
  // Merges `options` into a registered instance's options; -1 (errno
  // ENOENT) when the instance is not registered.
  int update_options(const std::string& type, const std::string& name,
                     const std::map<std::string, std::string>& options);
  // Forgets a registered instance and every account stored for it, those
  // another agent stored included. -1 (errno ENOENT) when it is not
  // registered.
  int remove_instance(const std::string& type, const std::string& name);
  // Stores (or replaces) an account; an empty `uid` sets the default.
  void set_account(const std::string& type, const std::string& name, const std::string& uid, const std::string& user,
                   const secure_string& password);
  // Forgets every instance, account and unsaved change, in memory only:
  // the files keep what they hold.
  void clear();

  // Loads both files from the agent state directory, replacing the
  // registry and dropping unsaved changes. Missing files are an empty
  // registry. -1 (logged, registry unchanged) when a file is malformed, the
  // accounts file is readable by anyone but its owner, or the lock is not
  // had in time.
  int load();
  // Rereads both files under the lock, puts in this process's changes
  // since it last loaded or saved (an instance or account it changed
  // replaces the one in the files, one it removed goes), writes both
  // files and makes the result the registry in memory. -1 (logged, the
  // changes kept for a later save) on failure.
  int save();

 private:
  Instance_Manager() = default;
  typedef std::map<std::string, Instance_ptr> Instance_Map;  // key: type "\n" name
  struct Registry {
    Instance_Map instances;
    std::vector<Account_Record> accounts;
  };
  // The changes of this process not yet saved, by record key.
  struct Changes {
    std::set<std::string> instances;  // instance keys added, replaced or removed
    std::set<std::string> removed;    // instance keys removed: their accounts in the files go too
    std::set<std::string> accounts;   // account keys (type "\n" name "\n" uid) stored or removed
  };
  // Puts `changes`, as `from` holds the changed records, into `into`.
  static void merge(const Registry& from, const Changes& changes, Registry& into);

  mutable ACE_Thread_Mutex lock_;
  Registry registry_;  // guarded by lock_
  Changes changes_;    // guarded by lock_
  // Counts every change of registry_, so that save() sees one made by
  // another thread while it wrote.
  unsigned long long version_ = 0;  // guarded by lock_
};

#endif
