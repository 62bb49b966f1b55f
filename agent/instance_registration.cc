#include "agent/instance_registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "agent/instance_access.h"
#include "agent/state_dir.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/services/instance_manager.h"
#include "tollix/account_rule.h"

namespace {

// Longest password file accepted.
const std::size_t PASSWORD_FILE_MAX = 4096;

}  // namespace

bool valid_name(const std::string& name) {
  static const std::regex re("[A-Za-z0-9][A-Za-z0-9_.-]{0,63}");
  return std::regex_match(name, re);
}

bool read_password(const std::string& path, secure_string& password, std::string& err) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    err = "cannot open the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (check_private_file(fd, path, "the password file", err) != 0) {
    ::close(fd);
    return false;
  }
  char buf[512];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = "cannot read the password file " + path + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (password.size() + static_cast<std::size_t>(n) > PASSWORD_FILE_MAX) {
      err = "the password file " + path + " is too large";
      ok = false;
      break;
    }
    password.append(buf, static_cast<std::size_t>(n));
  }
  explicit_bzero(buf, sizeof buf);
  ::close(fd);
  if (ok && !password.empty() && password.back() == '\n') password.pop_back();
  if (ok && !password.empty() && password.back() == '\r') password.pop_back();
  if (ok && password.empty()) {
    err = "the password file " + path + " holds no password";
    ok = false;
  }
  if (!ok) wipe(password);
  return ok;
}

bool check_account(const std::string& user, const secure_string& password, std::string& err) {
  std::string why;
  if (check_account_text(Account_Part::user, user.data(), user.size(), why) &&
      check_account_text(Account_Part::password, password.data(), password.size(), why)) {
    return true;
  }
  err = why + " (" + account_rule_text() + ")";
  return false;
}

bool load_module_option(const Command_Line& line, Oscar_Module& module, std::string& err) {
  std::string path = option_value(line, "module");
  if (path.empty()) path = Oscar_Module::default_path();
  return module.load(path, err);
}

bool check_login(const Oscar_Module& module, const std::string& home, const std::string& name, const std::string& user,
                 const secure_string& password, std::string& err) {
  if (!home_trusted(name, home, err)) return false;
  if (module.test_login(home, name, user, password.c_str(), err)) return true;
  err = "the login of " + user + " to instance " + name + " failed: " + err;
  return false;
}

bool stage_instance(const std::string& name, const std::string& home, const std::map<std::string, std::string>& extra,
                    const std::string& user, const secure_string& password) {
  Instance_Manager* mgr = Instance_Manager::instance();
  Instance inst;
  Instance_ptr old = mgr->find("oscar", name);
  if (old) {
    inst = *old;
  } else {
    inst.type = "oscar";
    inst.name = name;
    inst.uuid = new_uuid();
  }
  for (const auto& o : extra) inst.options[o.first] = o.second;
  inst.options["oscar_home"] = home;
  mgr->add_instance(inst);
  mgr->set_account("oscar", name, "", user, password);
  return static_cast<bool>(old);
}

bool link_start_script(const std::string& home, const std::string& name, std::string& linked, std::string& err) {
  const std::string script = home + "/admin/oscardb_" + name + "d";
  struct stat st;
  if (::stat(script.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  const std::string dir = root_path("/etc/init.d");
  if (mkdir_p(dir, 0755) != 0) {
    err = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
  }
  linked = dir + "/oscardb_" + name + "d";
  if (::unlink(linked.c_str()) != 0 && errno != ENOENT) {
    err = "cannot replace " + linked + ": " + std::strerror(errno);
    return false;
  }
  if (::symlink(script.c_str(), linked.c_str()) != 0) {
    err = "cannot link " + linked + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
