#include "oscar/process_options.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "host/process/process_env.h"
#include "oscar/arg_check.h"

namespace {
const std::size_t CMD_BUFFER = 1024;
const std::size_t ENV_BUFFER = 16384;
const std::size_t MAX_ENV = 512;
const std::size_t MAX_ARGS = 128;
}  // namespace

std::unique_ptr<ACE_Process_Options> new_process_options(std::size_t cmd_len) {
  // Room for the text, its terminator and one byte more: a command that
  // fills the buffer exactly is indistinguishable from a cut one.
  std::size_t cmd_buffer = cmd_len + 2 > CMD_BUFFER ? cmd_len + 2 : CMD_BUFFER;
  std::unique_ptr<ACE_Process_Options> opts(new (std::nothrow)
                                                ACE_Process_Options(true, cmd_buffer, ENV_BUFFER, MAX_ENV, MAX_ARGS));
  if (!opts) errno = ENOMEM;
  return opts;
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
