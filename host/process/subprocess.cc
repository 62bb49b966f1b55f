#include "host/process/subprocess.h"

#include <utility>

#include "host/process/text_process_handler.h"

namespace {

// Logs every line the child prints, at a priority that tells the streams
// apart.
class Logging_Line_Handler : public Text_Process_Handler {
 public:
  int handle_stdout_line(const char* line, unsigned long len) override {
    log_line(LM_INFO, line, len);
    return 0;
  }
};

}  // namespace

namespace subprocess {

int call(ACE_Process_Options& options, std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback) {
  ACE_Process_Ex process(ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR, nullptr,
                         std::move(log_msg_callback));
  Logging_Line_Handler handler;
  return handler.call(process, options);
}

}  // namespace subprocess
