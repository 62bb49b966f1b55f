#include "oscar/brcmd_stream.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io.h"
#include "oscar/job_alerts.h"
#include "tollix/fd_wait.h"
#include "tollix/is_regular_file.h"
#include "tollix/natoi.h"

namespace oscar {

namespace {

// How often a wait on the fifo looks at the job's cancel request.
const long CANCEL_CHECK_MS = 250;

}  // namespace

int stall_limit_seconds(const Action_Options* options) {
  if (options == nullptr) return DEFAULT_STALL_TIMEOUT_SECONDS;
  const Action_Options::const_iterator it = options->find(RUN_OPTION_STALL_TIMEOUT);
  if (it == options->end()) return DEFAULT_STALL_TIMEOUT_SECONDS;
  const char* begin = it->second.c_str();
  const char* end = begin + it->second.size();
  const char* stop = nullptr;
  errno = 0;
  const int seconds = natoi<int>(begin, end, &stop);
  if (errno != 0 || stop != end || seconds <= 0) return DEFAULT_STALL_TIMEOUT_SECONDS;
  return seconds;
}

bool await_fifo(Job& job, int fd, short events, const std::string& fifo, int stall_seconds, Job_Alert_Code alert) {
  const Fd_Wait_Result r = wait_fd(
      fd, events, static_cast<long>(stall_seconds) * 1000, [&job]() { return job.cancel_requested(); },
      CANCEL_CHECK_MS);
  switch (r) {
    case Fd_Wait_Result::READY: return true;
    case Fd_Wait_Result::TIMED_OUT:
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Process brcmd moved no data through fifo %s for %d seconds; giving up\n"),
                 fifo.c_str(), stall_seconds));
      return fail_with_alert(job, alert);
    case Fd_Wait_Result::CANCELLED: note_fifo_cancel(fifo); return false;
    case Fd_Wait_Result::FAILED: break;
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to wait on fifo %s, errno=%d, %m\n"), fifo.c_str(), errno));
  return fail_with_alert(job, alert);
}

void note_fifo_cancel(const std::string& fifo) {
  ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Job cancelled while moving data through fifo %s\n"), fifo.c_str()));
  errno = ECANCELED;
}

std::int32_t backup_info_size(const unsigned char* head) {
  const std::uint32_t v = (static_cast<std::uint32_t>(head[0]) << 24) | (static_cast<std::uint32_t>(head[1]) << 16) |
                          (static_cast<std::uint32_t>(head[2]) << 8) | static_cast<std::uint32_t>(head[3]);
  return static_cast<std::int32_t>(v);
}

std::uint64_t get_backup_set_size(const char* buf, unsigned long len) {
  std::uint64_t sum = 0;
  const char* p = buf;
  const char* end = buf + len;
  while (p < end) {
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (eol == nullptr) eol = end;
    const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<std::size_t>(eol - p)));
    if (eq != nullptr) {
      const std::string path(p, eq);
      if (is_regular_file(path.c_str())) sum += natoi<unsigned long>(eq + 1, eol, nullptr);
    }
    p = eol + 1;
  }
  return sum;
}

void Stream_Progress::add(std::uint64_t n) {
  bytes_sent_ += n;
  if (total_ == 0) return;
  const std::uint64_t progress = bytes_sent_ * 100 / total_;
  if (progress > pre_progress_ && progress >= 1 && progress < 100) {
    events_.handle_progress(static_cast<int>(progress), total_, bytes_sent_, 0);
    pre_progress_ = progress;
  }
}

namespace {

bool put(Client_IO& io, const char* data, std::size_t n) {
  return n == 0 || io.write(data, n) == static_cast<ssize_t>(n);
}

// brcmd's end of the fifo as the copy reads it: non-blocking while the
// copy lasts; a read that finds nothing waits for data within the stall
// limit, so no read blocks past it and a moving stream costs no waits.
class Fifo_Source {
 public:
  Fifo_Source(Job& job, int fd, const std::string& fifo, int stall_seconds)
      : job_(job), fd_(fd), fifo_(fifo), stall_seconds_(stall_seconds), nonblocking_(fd) {}

  // One read of at most n bytes: the count, 0 at the end of the stream, -1
  // with errno on a read error. -1 with `stopped` set when the job was
  // cancelled or a wait ended on a stall, which is reported here.
  ssize_t read(void* buf, std::size_t n) {
    for (;;) {
      if (job_.cancel_requested()) {
        note_fifo_cancel(fifo_);
        stopped = true;
        return -1;
      }
      const ssize_t r = ACE_OS::read(fd_, buf, n);
      if (r >= 0) return r;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!await_fifo(job_, fd_, POLLIN, fifo_, stall_seconds_, ALERT_STREAM_READ)) {
        stopped = true;
        return -1;
      }
    }
  }

  // Reads until n bytes are in: n, fewer at the end of the stream, -1 as read.
  ssize_t read_n(void* buf, std::size_t n) {
    char* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t r = read(p + done, n - done);
      if (r < 0) return r;
      if (r == 0) break;
      done += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
  }

  bool stopped = false;

 private:
  Job& job_;
  int fd_;
  const std::string& fifo_;
  int stall_seconds_;
  Nonblocking_Scope nonblocking_;
};

}  // namespace

bool copy_backup_stream(Job& job, Job_Event_Handler& events, int fd, const std::string& fifo, Client_IO& io,
                        std::uint64_t& bytes_sent, int stall_seconds) {
  char buf[BUFFER_SIZE];
  bytes_sent = 0;
  Fifo_Source source(job, fd, fifo, stall_seconds);
  if (source.read_n(buf, BACKUP_INFO_HEAD_SIZE) != static_cast<ssize_t>(BACKUP_INFO_HEAD_SIZE)) {
    if (source.stopped) return false;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get backup info head, errno=%d, %m\n"), errno));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  if (!put(io, buf, BACKUP_INFO_HEAD_SIZE)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup info head to storage: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_WRITE);
  }
  bytes_sent = BACKUP_INFO_HEAD_SIZE;

  const std::int32_t info_size = backup_info_size(reinterpret_cast<const unsigned char*>(buf));
  const std::int64_t data_size =
      static_cast<std::int64_t>(info_size) - static_cast<std::int64_t>(BACKUP_INFO_HEAD_SIZE);
  if (data_size < 0) {
    // A head shorter than itself: logged, but the failure stays ENOMEM
    // without an alert, as callers may rely on it; errno is set after the
    // log line, which may change it.
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid backup info head: it announces %d bytes, less than its own %d\n"),
               info_size, static_cast<int>(BACKUP_INFO_HEAD_SIZE)));
    errno = ENOMEM;
    return false;
  }
  if (data_size > MAX_BACKUP_INFO_DATA_SIZE) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("%N:%l Invalid backup info head: it announces %d bytes of backup info\n"), info_size));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  std::unique_ptr<char[]> info(new (std::nothrow) char[static_cast<std::size_t>(data_size) + 1]);
  if (!info) {
    errno = ENOMEM;
    return false;
  }
  const std::size_t info_len = static_cast<std::size_t>(data_size);
  if (source.read_n(info.get(), info_len) != static_cast<ssize_t>(info_len)) {
    if (source.stopped) return false;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get backup info data, errno=%d, %m\n"), errno));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  if (!put(io, info.get(), info_len)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup info data to storage: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_WRITE);
  }
  bytes_sent += info_len;
  const std::uint64_t backup_set_size = get_backup_set_size(info.get(), info_len);
  info.reset();
  if (backup_set_size == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid backup set size\n")));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }

  Stream_Progress progress(events, backup_set_size, bytes_sent);
  for (;;) {
    const ssize_t n = source.read(buf, BUFFER_SIZE);
    if (n < 0) {
      if (source.stopped) return false;
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read from fifo %s, errno=%d, %m\n"), fifo.c_str(), errno));
      return fail_with_alert(job, ALERT_STREAM_READ);
    }
    if (n == 0) break;
    if (!put(io, buf, static_cast<std::size_t>(n))) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write to storage: %s.\n"), io.error()));
      return fail_with_alert(job, ALERT_WRITE);
    }
    progress.add(static_cast<std::uint64_t>(n));
    bytes_sent = progress.bytes_sent();
  }
  bytes_sent = progress.bytes_sent();
  return true;
}

}  // namespace oscar
