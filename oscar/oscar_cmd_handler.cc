#include "oscar/oscar_cmd_handler.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/trim.hpp>
#include <cctype>
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

// The options that carry a password, only at the start of a word: "-U"
// inside a path (a directory "x-Uab") is not the account option. The
// password follows the match.
const boost::regex RE_BRCMD_PASSWORD("(?<!\\S)-p\\s+", boost::regex::perl);
const boost::regex RE_ISQL_PASSWORD("(?<!\\S)-U[^/ ]+/", boost::regex::perl);

// The end of the password that starts at `value`: past `password` when the
// text there is that value (which may hold blanks), then on to the end of
// the word, so that a password holding a slash or an unknown password
// leaves no tail either.
const char* password_end(const char* value, const char* end, const char* password) {
  const std::size_t known = password == nullptr ? 0 : std::strlen(password);
  if (known > 0 && static_cast<std::size_t>(end - value) >= known && std::memcmp(value, password, known) == 0) {
    value += known;
  }
  while (value < end && !std::isspace(static_cast<unsigned char>(*value))) ++value;
  return value;
}

// Masks, logs and prepares one run; false when the options cannot be had.
std::unique_ptr<ACE_Process_Options> prepare_run(const char* oscar_home, const char* cmd, bool is_brcmd,
                                                 const char* password) {
  ACE_DEBUG((LM_INFO, ACE_TEXT("Oscar command:\n%s\n"), mask_command(cmd, is_brcmd, password).c_str()));
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

std::string mask_command(const char* cmd, bool is_brcmd, const char* password) {
  if (cmd == nullptr) return std::string();
  // Built straight from the caller's text: no unmasked copy is made.
  std::string masked;
  const char* pos = cmd;
  const char* const end = cmd + std::strlen(cmd);
  const boost::regex& option = is_brcmd ? RE_BRCMD_PASSWORD : RE_ISQL_PASSWORD;
  boost::cmatch m;
  while (boost::regex_search(pos, end, m, option, pos == cmd ? boost::match_default : boost::match_prev_avail)) {
    masked.append(pos, m[0].first);
    if (is_brcmd)
      masked += "-p";
    else
      masked.append(m[0].first, m[0].second);
    masked += "***";
    pos = password_end(m[0].second, end, password);
  }
  masked.append(pos, end);
  return masked;
}

int execute_oscar_cmd(const char* oscar_home, const char* cmd, bool is_brcmd, bool logging_stdout,
                      std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, std::string* error) {
  return oscar::execute_tool_cmd(oscar_home, cmd, nullptr, is_brcmd, logging_stdout, log_msg_callback, error);
}

int execute_oscar_brcmd_spawn(const char* oscar_home, const char* cmd,
                              std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback,
                              Execute_Cmd_Line_Handler& cmd_handler) {
  return oscar::spawn_brcmd(oscar_home, cmd, nullptr, log_msg_callback, cmd_handler);
}

namespace oscar {

int execute_tool_cmd(const char* oscar_home, const char* cmd, const char* password, bool is_brcmd, bool logging_stdout,
                     std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, std::string* error) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, -1);
  OSCAR_CHECK_TEXT_ARG(cmd, -1);
  std::unique_ptr<ACE_Process_Options> opts = prepare_run(oscar_home, cmd, is_brcmd, password);
  if (!opts) return -1;
  ACE_Process_Ex process(CAPTURE_BOTH, nullptr, log_msg_callback);
  Execute_Cmd_Line_Handler handler(error, logging_stdout);
  return handler.call(process, *opts);
}

int spawn_brcmd(const char* oscar_home, const char* cmd, const char* password,
                std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback, Execute_Cmd_Line_Handler& cmd_handler) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, -1);
  OSCAR_CHECK_TEXT_ARG(cmd, -1);
  std::unique_ptr<ACE_Process_Options> opts = prepare_run(oscar_home, cmd, true, password);
  if (!opts) return -1;
  ACE_Process_Ex process(CAPTURE_BOTH, nullptr, log_msg_callback);
  return cmd_handler.spawn(process, *opts, nullptr) == -1 ? -1 : 0;
}

}  // namespace oscar
