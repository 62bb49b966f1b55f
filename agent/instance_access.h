#ifndef AGENT_INSTANCE_ACCESS_H
#define AGENT_INSTANCE_ACCESS_H

#include <memory>
#include <string>
#include <vector>

#include "agent/module.h"
#include "host/base/job_log.h"
#include "host/services/instance_manager.h"
#include "tollix/secure_allocator.h"

// What the commands that look at instances (discover, browse, nodes,
// check) share. Main thread; the state directory must be open.

// Sends the module's log lines to STATE/logs/discovery.log instead of stderr
// for the life of the object, so that a command's stderr holds only its
// own messages; the previous output is restored on destruction. Make it
// after the module is loaded and let it go before the module.
class Module_Log {
 public:
  Module_Log();
  ~Module_Log();
  Module_Log(const Module_Log&) = delete;
  Module_Log& operator=(const Module_Log&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ACE_Log_Msg_Callback_var callback_;
  bool had_stderr_;
};

// A registered instance with its home and its default account. The
// password lives in secure memory and is wiped with the object.
struct Registered_Instance {
  Registered_Instance() = default;
  ~Registered_Instance() { wipe(password); }
  Registered_Instance(const Registered_Instance&) = delete;
  Registered_Instance& operator=(const Registered_Instance&) = delete;

  Instance_ptr record;
  std::string name;
  std::string home;
  std::string user;
  secure_string password;
};

// Finds the registered instance `name` with its home and account. False
// with err when it is not registered, has no home option or no account.
bool find_registered(const std::string& name, Registered_Instance& out, std::string& err);

// Whether the programs of the home the agent would run can be changed only
// by root and the home's owner (check_home_programs, as check judges them).
// False with err naming the first file that fails and how ("DB1: home /x
// refused: /x/bin/isql is writable by others (mode 0777)"; "DB1: cannot
// read the home /x: ..." when it cannot be read), so that no login test is
// run with a home that its refusal would not name.
bool home_trusted(const std::string& name, const std::string& home, std::string& err);

// Checks that the instance can be asked: its home exists, its programs are
// trusted (home_trusted), its server listens on its port and the registered
// account logs in. False with err saying which of these fails.
bool check_reachable(const Oscar_Module& module, const Registered_Instance& inst, std::string& err);

// Whether /proc, as the mount table text `mounts` (the format of
// /proc/mounts) describes it, hides other users' processes (hidepid set
// to anything but 0 or "off").
bool proc_hides_processes(const std::string& mounts);

// The text of a whole file; empty when it cannot be read.
std::string read_text_file(const std::string& path);

// The virtual address of the instance's cluster: the address of the first
// line of HOME/admin/NAME.conf that reads "HA_SERVER_IP_ADDRESS = ADDR"
// (any case, ADDR a dotted IPv4 address, optionally in single quotes).
// Empty when the file or the line is missing.
std::string configured_virtual_address(const std::string& home, const std::string& name);

// Rows of text as columns two blanks apart, each as wide as its widest
// cell; the first row is the heading. One line per row.
std::string format_table(const std::vector<std::vector<std::string>>& rows);

#endif
