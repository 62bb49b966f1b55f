#include "agent/timer_schedule.h"

#include <ace/Process.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "host/process/ace_process_ex.h"
#include "host/process/text_process_handler.h"

namespace {

const char* const SYSTEMD_RUNNING = "/run/systemd/system";
const int SYSTEMCTL_SECONDS = 5;

// Keeps the child's standard output; its errors are dropped (a timer that
// is not loaded is no error here).
class Output_Handler : public Text_Process_Handler {
 public:
  explicit Output_Handler(std::string& out) : out_(out) {}
  ~Output_Handler() override { terminate(0); }
  int handle_stdout_line(const char* line, unsigned long len) override {
    out_.append(line, len).append("\n");
    return 0;
  }
  int handle_stderr_line(const char*, unsigned long) override { return 0; }

 private:
  std::string& out_;
};

}  // namespace

std::time_t earliest_unix_timestamp(const std::string& output) {
  std::istringstream in(output);
  std::string line;
  std::time_t earliest = 0;
  while (std::getline(in, line)) {
    if (line.size() < 2 || line[0] != '@') continue;
    char* end = nullptr;
    const long long t = std::strtoll(line.c_str() + 1, &end, 10);
    if (*end != '\0' || t <= 0) continue;
    if (earliest == 0 || t < earliest) earliest = static_cast<std::time_t>(t);
  }
  return earliest;
}

std::time_t next_scheduled_backup(const std::string& instance) {
  struct stat st;
  if (::stat(SYSTEMD_RUNNING, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  ACE_Process_Options options(true, 1024);
  // The instance name passed the shared name check when it was registered:
  // no blank, quote or glob character splits or widens the pattern.
  if (options.command_line("/usr/bin/systemctl show -p NextElapseUSecRealtime --value --timestamp=unix "
                           "oscar-agent-backup@%s:*.timer",
                           instance.c_str()) != 0)
    return 0;
  std::string out;
  Output_Handler handler(out);
  ACE_Process_Ex process(ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR, "systemctl", nullptr);
  if (handler.spawn(process, options, nullptr) < 0) return 0;
  if (handler.wait(ACE_Time_Value(SYSTEMCTL_SECONDS)) != 0) return 0;
  return earliest_unix_timestamp(out);
}
