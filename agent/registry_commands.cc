#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "agent/commands.h"
#include "agent/module.h"
#include "agent/pool_lookup.h"
#include "agent/state_dir.h"
#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "tollix/secure_allocator.h"

namespace {

// Longest password file accepted.
const std::size_t PASSWORD_FILE_MAX = 4096;

bool valid_name(const std::string& name) {
  static const std::regex re("[A-Za-z0-9][A-Za-z0-9_.-]{0,63}");
  return std::regex_match(name, re);
}

// Reads the password: the file's content without one trailing line end.
// Only secure memory holds it; the read buffer is wiped.
bool read_password(const std::string& path, secure_string& password, std::string& err) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    err = "cannot open the password file " + path + ": " + std::strerror(errno);
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

// The instance's start script as the machine's init system would hold it:
// /etc/init.d/oscardb_NAMEd under the agent's root. An installation keeps
// the script in its home's admin directory; the link makes it the one the
// module runs to start the instance again after a restore or a backup that
// stopped it. Answers true when there is no script in the home to link.
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

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Tests the login through the module (--module PATH, else the default one)
// before an account is registered, so that a wrong password is found now
// and not by the first backup.
bool check_login(const Command_Line& line, const std::string& home, const std::string& name,
                 const secure_string& password, std::string& err) {
  std::string path = option_value(line, "module");
  if (path.empty()) path = Oscar_Module::default_path();
  Oscar_Module module;
  if (!module.load(path, err)) return false;
  if (module.test_login(home, name, option_value(line, "user"), password.c_str(), err)) return true;
  err = "the login of " + option_value(line, "user") + " to instance " + name + " failed: " + err;
  return false;
}

}  // namespace

int instance_add_command(const Command_Line& line) {
  std::string err;
  const std::string name = line.words[2];
  if (!valid_name(name)) return fail(EXIT_USAGE, "instance add: invalid instance name \"" + name + "\"");
  const std::string home = option_value(line, "home");
  if (home[0] != '/' || !is_directory(home))
    return fail(EXIT_FAILED, "instance add: the home " + home + " is not an existing absolute directory");
  if (!open_state_dir(option_value(line, "state"), err)) return fail(EXIT_FAILED, err);
  secure_string password;
  if (!read_password(option_value(line, "password-file"), password, err)) return fail(EXIT_FAILED, err);
  if (line.flags.count("no-check") == 0 && !check_login(line, home, name, password, err)) {
    wipe(password);
    return fail(EXIT_FAILED, "instance add: " + err + " (--no-check registers it without the test)");
  }

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
  inst.options["oscar_home"] = home;
  mgr->add_instance(inst);
  mgr->set_account("oscar", name, "", option_value(line, "user"), password);
  wipe(password);
  if (mgr->save() != 0) return fail(EXIT_FAILED, "instance add: cannot write the instance registry");
  std::string linked;
  if (!link_start_script(home, name, linked, err)) return fail(EXIT_FAILED, "instance add: " + err);
  std::printf("instance %s %s (home %s, user %s)\n", name.c_str(), old ? "updated" : "added", home.c_str(),
              option_value(line, "user").c_str());
  if (!linked.empty()) std::printf("start script %s\n", linked.c_str());
  return EXIT_OK;
}

int fail(int status, const std::string& text) {
  std::fprintf(stderr, "oscar-agent: %s\n", text.c_str());
  return status;
}
