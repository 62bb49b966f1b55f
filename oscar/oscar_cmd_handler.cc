#include "oscar/oscar_cmd_handler.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/trim.hpp>
#include <cstring>
#include <iterator>

#include "host/process/ace_process_ex.h"
#include "host/process/process_env.h"
#include "oscar/arg_check.h"
#include "oscar/oscar_regex.h"
#include "oscar/process_options.h"
#include "tollix/string_sprintf.h"

namespace {

// Standard output and standard error through pipes.
const int CAPTURE_BOTH = ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR;
// How long a spawned child left running at the handler's end gets to stop.
const unsigned long TERMINATE_GRACE_MS = 1000;

// Options only at the start of a word: "-U" inside a path (a directory
// "x-Uab") is not the account option.
const boost::regex RE_BRCMD_PASSWORD("(?<!\\S)-p\\s+\\S+", boost::regex::perl);
// The whole word after the slash is hidden, so a password holding a slash
// does not leave its tail in the log.
const boost::regex RE_ISQL_PASSWORD("(?<!\\S)(-U[^/ ]+/)\\S+", boost::regex::perl);

// Masks, logs and prepares one run; false when the options cannot be had.
std::unique_ptr<ACE_Process_Options> prepare_run(const char* oscar_home, const char* cmd, bool is_brcmd) {
  ACE_DEBUG((LM_INFO, ACE_TEXT("Oscar command:\n%s\n"), mask_command(cmd, is_brcmd).c_str()));
  std::unique_ptr<ACE_Process_Options> opts = new_process_options(std::strlen(cmd));
  if (opts && !set_process_opts(oscar_home, cmd, *opts)) opts.reset();
  return opts;
}

}  // namespace

Execute_Cmd_Line_Handler::Execute_Cmd_Line_Handler(std::string* error, bool logging_stdout)
    : Text_Process_Handler(0), logging_stdout_(logging_stdout), error_(error) {}

Execute_Cmd_Line_Handler::~Execute_Cmd_Line_Handler() {
  if (running()) terminate(TERMINATE_GRACE_MS);
}

int Execute_Cmd_Line_Handler::handle_stdout_line(const char* line, unsigned long len) {
  if (logging_stdout_) log_line(LM_INFO, line, len);
  return 0;
}

int Execute_Cmd_Line_Handler::handle_stderr_line(const char* line, unsigned long len) {
  if (logging_stdout_) {
    log_line(LM_ERROR, line, len);
    return 0;
  }
  if (error_ == nullptr) return 0;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Failed info: %.*s\n"), static_cast<int>(len), line));
  boost::cmatch m;
  if (boost::regex_match(line, line + len, m, RE_LOGIN_LINE)) {
    std::string message = boost::algorithm::trim_copy(m.str(1));
    string_sprintf(*error_, "Error, %s.", message.c_str());
  }
  return 0;
}

bool set_process_opts(const char* oscar_home, ACE_Process_Options& opts) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  opts.setenv(ACE_TEXT("SZ_OSCAR_HOME"), ACE_TEXT("%s"), oscar_home);
  opts.handle_inheritance(0);
  opts.setenv(const_cast<ACE_TCHAR*>(ACE_TEXT("LC_ALL=en_US.UTF8")));
  opts.setenv(const_cast<ACE_TCHAR*>(ACE_TEXT("LANG=en_US.UTF8")));
  std::string bin = std::string(oscar_home) + "/bin";
  append_process_options_env(opts, "LD_LIBRARY_PATH", bin.c_str());
  return true;
}

bool set_process_opts(const char* oscar_home, const char* cmd, ACE_Process_Options& opts) {
  OSCAR_CHECK_TEXT_ARG(cmd, false);
  // Texts are UTF-8 and so is the agent's locale: the command needs no
  // conversion. ACE cuts a command line that fills its buffer without
  // telling; such a command is refused here instead of run cut.
  std::size_t buf_len = 0;
  opts.command_line_buf(&buf_len);
  if (std::strlen(cmd) + 1 >= buf_len) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Command line too long (%d bytes allowed).\n"), static_cast<int>(buf_len) - 2));
    return false;
  }
  if (opts.command_line(ACE_TEXT("%s"), cmd) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to set command line.\n")));
    return false;
  }
  return set_process_opts(oscar_home, opts);
}

std::string mask_command(const char* cmd, bool is_brcmd) {
  if (cmd == nullptr) return std::string();
  // Replaced straight from the caller's text: no unmasked copy is made.
  std::string masked;
  const char* end = cmd + std::strlen(cmd);
  if (is_brcmd) {
    boost::regex_replace(std::back_inserter(masked), cmd, end, RE_BRCMD_PASSWORD, "-p***");
  } else {
    boost::regex_replace(std::back_inserter(masked), cmd, end, RE_ISQL_PASSWORD, "$1***");
  }
  return masked;
}

int execute_oscar_cmd(const char* oscar_home, const char* cmd, bool is_brcmd, bool logging_stdout,
                      std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, std::string* error) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, -1);
  OSCAR_CHECK_TEXT_ARG(cmd, -1);
  std::unique_ptr<ACE_Process_Options> opts = prepare_run(oscar_home, cmd, is_brcmd);
  if (!opts) return -1;
  ACE_Process_Ex process(CAPTURE_BOTH, nullptr, log_msg_callback);
  Execute_Cmd_Line_Handler handler(error, logging_stdout);
  return handler.call(process, *opts);
}

int execute_oscar_brcmd_spawn(const char* oscar_home, const char* cmd,
                              std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback,
                              Execute_Cmd_Line_Handler& cmd_handler) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, -1);
  OSCAR_CHECK_TEXT_ARG(cmd, -1);
  std::unique_ptr<ACE_Process_Options> opts = prepare_run(oscar_home, cmd, true);
  if (!opts) return -1;
  ACE_Process_Ex process(CAPTURE_BOTH, nullptr, log_msg_callback);
  return cmd_handler.spawn(process, *opts, nullptr) == -1 ? -1 : 0;
}
