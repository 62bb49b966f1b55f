#include "agent/console_log.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/base/job_log.h"

namespace {

// Takes the place of ACE's own stderr output. ACE calls log() with its
// logging lock held, after the thread's callback (the job's log file) had
// the line, so echoed lines do not interleave.
class Console_Backend : public ACE_Log_Msg_Backend {
 public:
  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override { return 0; }
  ssize_t log(ACE_Log_Record& record) override {
    if (!verbose.load() && bound_log_callback()) return 0;
    const char* text = record.msg_data();
    const std::size_t len = std::strlen(text);
    if (clear_line) std::fputs("\r\x1b[K", stderr);
    std::fwrite(text, 1, len, stderr);
    if (len == 0 || text[len - 1] != '\n') std::fputc('\n', stderr);
    std::fflush(stderr);
    return static_cast<ssize_t>(len);
  }

  std::atomic<bool> verbose{false};
  bool clear_line = false;
};

}  // namespace

void route_log_lines(bool verbose) {
  // Lives as long as the process: module threads may still log while the
  // process ends.
  static Console_Backend* const backend = new Console_Backend();
  backend->verbose = verbose;
  if (ACE_Log_Msg::msg_backend() == backend) return;
  backend->clear_line = isatty(STDERR_FILENO) == 1;
  ACE_Log_Msg::msg_backend(backend);
  ACE_LOG_MSG->set_flags(ACE_Log_Msg::CUSTOM);
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
}
