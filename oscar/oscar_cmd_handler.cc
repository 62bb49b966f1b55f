#include "oscar/oscar_cmd_handler.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/trim.hpp>
#include <cstring>
#include <iterator>

#include "host/process/ace_process_ex.h"
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
