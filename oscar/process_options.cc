#include "oscar/process_options.h"

#include <cerrno>
#include <new>

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
