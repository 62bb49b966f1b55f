#include "host/jobs/job_alert.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/Thread_Mutex.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "host/base/fs_util.h"
#include "host/jobs/job.h"

namespace {
ACE_Thread_Mutex& alert_file_lock() {
  static ACE_Thread_Mutex* lock = new ACE_Thread_Mutex();
  return *lock;
}
}  // namespace

std::string job_alert_file_path(const Job& job) {
  std::string path = job.log_file_path();
  const std::string suffix = ".log";
  if (path.size() < suffix.size()) return std::string();
  path.replace(path.size() - suffix.size(), suffix.size(), ".alerts");
  return path;
}

int write_job_alert(Job& job, int severity, int code, int arg, const nlohmann::json& detail) {
  Job_Alert alert;
  alert.time = std::time(nullptr);
  alert.severity = severity;
  alert.code = code;
  alert.arg = arg;
  alert.detail = detail.dump();
  job.add_alert(alert);

  const std::string path = job_alert_file_path(job);
  if (path.empty()) return 0;
  const nlohmann::json line = {{"time", static_cast<long long>(alert.time)},
                               {"definition_id", job.activity().id},
                               {"severity", severity},
                               {"code", code},
                               {"arg", arg},
                               {"detail", detail}};
  const std::string text = line.dump() + "\n";

  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, alert_file_lock(), -1);
  const std::string::size_type slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdir_p(path.substr(0, slash), 0700);
  const int fd = open_cloexec(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
  if (fd < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open %C, errno=%d, %m\n"), path.c_str(), errno));
    return -1;
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int saved = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    errno = saved;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write %C, errno=%d, %m\n"), path.c_str(), errno));
    return -1;
  }
  return 0;
}
