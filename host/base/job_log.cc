#include "host/base/job_log.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/Log_Priority.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_unistd.h>
#include <fcntl.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/base/fs_util.h"

namespace {

thread_local ACE_Log_Msg_Callback_var t_bound;

std::string parent_dir(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Writes all of text, retrying short writes and EINTR.
void write_all(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ACE_OS::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

Job_Log_Callback::Job_Log_Callback(const std::string& path) : path_(path) {}

Job_Log_Callback::~Job_Log_Callback() {
  if (fd_ >= 0) ACE_OS::close(fd_);
}

void Job_Log_Callback::log(ACE_Log_Record& record) {
  const ACE_Time_Value when = record.time_stamp();
  const time_t secs = when.sec();
  struct tm tmv;
  char stamp[64] = "";
  if (localtime_r(&secs, &tmv) != nullptr) {
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tmv);
    std::snprintf(stamp, sizeof stamp, "%s.%03ld", date, static_cast<long>(when.usec() / 1000));
  }
  std::string line(stamp);
  line += ' ';
  const char* priority = ACE_Log_Record::priority_name(static_cast<ACE_Log_Priority>(record.type()));
  line += std::strncmp(priority, "LM_", 3) == 0 ? priority + 3 : priority;
  line += ' ';
  line += record.msg_data();
  if (line.empty() || line.back() != '\n') line += '\n';

  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  if (fd_ < 0 && !path_.empty()) {
    const std::string dir = parent_dir(path_);
    if (!dir.empty()) mkdir_p(dir, 0700);
    fd_ = open_cloexec(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
  }
  if (fd_ >= 0) write_all(fd_, line);
}

void bind_log_callback(const ACE_Log_Msg_Callback_var& callback) {
  ACE_Log_Msg* log = ACE_LOG_MSG;
  log->msg_callback(callback.get());
  if (callback) log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  t_bound = callback;
}

ACE_Log_Msg_Callback_var bound_log_callback() { return t_bound; }
