#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/base/agent_state.h"
#include "host/base/port_check.h"
#include "host/base/sleep.h"
#include "host/process/subprocess.h"
#include "oscar/arg_check.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/process_options.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/ace_read_trait.h"
#include "tollix/auto_closer.h"
#include "tollix/is_regular_file.h"
#include "tollix/natoi.h"
#include "tollix/read_each_line.h"
#include "tollix/snprintf_t.h"
#include "tollix/string_sprintf.h"

namespace {

const uint16_t DEFAULT_PORT = 2003;
const int START_CHECKS = 5;

std::string admin_file(const char* oscar_home, const char* instance, const char* suffix_fmt) {
  snprintf_t<32> name(suffix_fmt, instance);
  return std::string(oscar_home) + "/admin/" + name.c_str();
}

// Names that can be placed into a shell command and a unit name as they are.
bool is_plain_name(const char* name) {
  for (const char* p = name; *p != '\0'; ++p) {
    char c = *p;
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool get_instance_port(const char* oscar_home, const char* instance, uint16_t& port) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  OSCAR_CHECK_TEXT_ARG(instance, false);
  std::string path = admin_file(oscar_home, instance, "%s.conf");
  if (!is_regular_file(path.c_str())) {
    port = DEFAULT_PORT;
    ACE_DEBUG(
        (LM_INFO, ACE_TEXT("Instance config file %s does not exist, use default port %hu\n"), path.c_str(), port));
    return true;
  }
  static const boost::regex re_port("\\s*port\\s*=\\s*(\\d+).*", boost::regex::perl);
  bool found = false;
  bool read = read_each_line(
      path.c_str(),
      [&](const std::string& line) {
        boost::smatch m;
        if (!boost::regex_match(line, m, re_port)) return true;
        std::string digits = m.str(1);
        port = natoi<unsigned short>(digits.c_str(), digits.size());
        found = true;
        return false;
      },
      false);
  if (!read) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open conf file %s.\n"), path.c_str()));
    return false;
  }
  return found;
}

bool get_instance_state(const char* oscar_home, const char* instance, std::string& state) {
  state = "offline";
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  OSCAR_CHECK_TEXT_ARG(instance, false);
  uint16_t port = 0;
  if (get_instance_port(oscar_home, instance, port) && check_port_listening(port)) state = "online";
  return state == "online";
}

bool instance_running(const char* oscar_home, const char* instance, int& pid) {
  OSCAR_CHECK_PTR_ARG(oscar_home, false);
  OSCAR_CHECK_PTR_ARG(instance, false);
  std::string path = admin_file(oscar_home, instance, "%s.db");
  if (ACE_OS::access(path.c_str(), R_OK) != 0) return false;
  Auto_Closer<int, Auto_Handle_Trait> fd(ACE_OS::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open file %s: errno=%d, %m\n"), path.c_str(), errno));
    return false;
  }
  // The first line is a process id: a few dozen bytes are plenty.
  char buf[64];
  ssize_t n = ace_read_trait::read_n(fd.get(), buf, sizeof buf);
  if (n <= 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read from file %s\n"), path.c_str()));
    return false;
  }
  std::string first(buf, static_cast<std::size_t>(n));
  first.erase(std::min(first.find('\n'), first.size()));
  static const boost::regex re_pid("(\\d+).*", boost::regex::perl);
  boost::smatch m;
  if (!boost::regex_match(first, m, re_pid)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to find pid.\n")));
    return false;
  }
  std::string digits = m.str(1);
  pid = natoi<int>(digits.c_str(), digits.size());
  // pid 0 or a value cut to the int range would name no server of ours;
  // ACE::process_active would still answer for them.
  if (pid <= 0 || errno == ERANGE) return false;
  return ACE::process_active(pid) != 0;
}

bool start_instance(const char* oscar_home, const char* instance) {
  OSCAR_CHECK_PTR_ARG(oscar_home, false);
  OSCAR_CHECK_PTR_ARG(instance, false);
  if (*instance == '\0' || !is_plain_name(instance)) {
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("Refused to start instance %s: the name holds characters other than letters, "
                        "digits, _, - and .\n"),
               instance));
    return false;
  }
  // The fixed script path, under the host's root prefix (empty in
  // production) so that tests and demonstrations run under their own root.
  snprintf_t<4096> script("%s", root_path(string_sprintf("/etc/init.d/oscardb_%sd", instance)).c_str());
  snprintf_t<4096> cmd;
  if (is_regular_file(script.c_str())) {
    cmd.set("/bin/sh -c \"%s start\"", script.c_str());
  } else {
    cmd.set("systemctl start oscard@%s", instance);
  }
  std::unique_ptr<ACE_Process_Options> opts = new_process_options(std::strlen(cmd.c_str()));
  if (!opts) return false;
  opts->setgroup(0);
  if (!set_process_opts(oscar_home, cmd.c_str(), *opts)) return false;
  const bool started = subprocess::call(*opts, std::shared_ptr<ACE_Log_Msg_Callback>()) == 0;
  // Nothing comes up after a start command that failed or was not run: the
  // wait would only hold the caller (a cancelled job's clean-up among them).
  if (!started) return false;
  std::string state;
  for (int i = 1; i <= START_CHECKS; ++i) {
    if (get_instance_state(oscar_home, instance, state)) break;
    host_sleep(ACE_Time_Value(i));
  }
  return true;
}

bool test_login_instance(const char* oscar_home, const char* instance, const char* username, const char* password,
                         std::string* error) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  OSCAR_CHECK_TEXT_ARG(instance, false);
  OSCAR_CHECK_TEXT_ARG(username, false);
  OSCAR_CHECK_TEXT_ARG(password, false);
  std::string why;
  if (!oscar::valid_account(username, password, &why)) {
    if (error != nullptr) *error = why;
    return false;
  }
  if (!oscar::trusted_home(oscar_home, instance)) {
    if (error != nullptr) *error = "the programs of the home can be changed by others than root and its owner";
    return false;
  }
  uint16_t port = 0;
  if (!get_instance_port(oscar_home, instance, port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get port.\n")));
    return false;
  }
  secure_string cmd;
  string_sprintf(cmd, "\"%s/bin/isql\" -U%s/%s -d%s -p%hu -l", oscar_home, username, password, instance, port);
  return oscar::execute_tool_cmd(oscar_home, cmd.c_str(), password, false, false,
                                 std::shared_ptr<ACE_Log_Msg_Callback>(), error) == 0;
}

bool get_from_instance_options(const Instance_ptr& instance, const char* key, std::string& value) {
  OSCAR_CHECK_TEXT_ARG(key, false);
  if (!instance) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to invoke get_from_instance_options, can't find instance.\n")));
    return false;
  }
  auto it = instance->options.find(key);
  if (it == instance->options.end()) return false;
  value = it->second;
  return true;
}
