#include "oscar/brcmd_restore_feed.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "host/base/sleep.h"
#include "host/jobs/job.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/job_alerts.h"
#include "tollix/fd_wait.h"

namespace oscar {

namespace {

// brcmd's end of the fifo as the feed writes it: non-blocking while the
// feed lasts; a write that finds no room waits for it within the stall
// limit, so no write blocks past it and a moving stream costs no waits.
class Fifo_Sink {
 public:
  Fifo_Sink(Job& job, int fd, const std::string& fifo, int stall_seconds)
      : job_(job), fd_(fd), fifo_(fifo), stall_seconds_(stall_seconds), nonblocking_(fd) {}

  // Writes all n bytes; false with errno on a write error, false with
  // `stopped` set when the job was cancelled or a wait ended on a stall,
  // which is reported here.
  bool write_all(const char* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      if (job_.cancel_requested()) {
        note_fifo_cancel(fifo_);
        stopped = true;
        return false;
      }
      const ssize_t w = ACE_OS::write(fd_, buf + done, n - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w == 0) {
        errno = EIO;
        return false;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (!await_fifo(job_, fd_, POLLOUT, fifo_, stall_seconds_, ALERT_WRITE)) {
        stopped = true;
        return false;
      }
    }
    return true;
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

bool feed_backup_set(Job& job, Client_IO_Ex& io, const std::string& backup_file, int fd, const std::string& fifo,
                     Stream_Progress& progress, std::uint64_t expected_size, int stall_seconds) {
  Sigpipe_Guard no_sigpipe;
  Fifo_Sink sink(job, fd, fifo, stall_seconds);
  char buf[BRCMD_BUFFER_SIZE];
  if (io.read(buf, BACKUP_INFO_HEAD_SIZE) != static_cast<ssize_t>(BACKUP_INFO_HEAD_SIZE)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read backup info head: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  const std::int32_t info_size = backup_info_size(reinterpret_cast<const unsigned char*>(buf));
  if (info_size < static_cast<std::int32_t>(BACKUP_INFO_HEAD_SIZE) ||
      info_size - static_cast<std::int64_t>(BACKUP_INFO_HEAD_SIZE) > MAX_BACKUP_INFO_DATA_SIZE) {
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("%N:%l Invalid backup info size %d in backup set %s: it must lie between %d and %Q bytes\n"),
               info_size, backup_file.c_str(), static_cast<int>(BACKUP_INFO_HEAD_SIZE),
               static_cast<ACE_UINT64>(MAX_BACKUP_INFO_DATA_SIZE + BACKUP_INFO_HEAD_SIZE)));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  // Head and info data go to brcmd in one piece: in `buf` when they fit,
  // else in one allocation of their size, which the check above bounds.
  std::unique_ptr<char[]> large;
  char* info = buf;
  if (static_cast<std::size_t>(info_size) > BRCMD_BUFFER_SIZE) {
    large.reset(new (std::nothrow) char[static_cast<std::size_t>(info_size)]);
    if (!large) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l No memory for the %d bytes of backup info of %s\n"), info_size,
                 backup_file.c_str()));
      return fail_with_alert(job, ALERT_STREAM_READ);
    }
    std::copy(buf, buf + BACKUP_INFO_HEAD_SIZE, large.get());
    info = large.get();
  }
  const std::size_t data_size = static_cast<std::size_t>(info_size) - BACKUP_INFO_HEAD_SIZE;
  if (data_size != 0 && io.read(info + BACKUP_INFO_HEAD_SIZE, data_size) != static_cast<ssize_t>(data_size)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read backup info data: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  if (!sink.write_all(info, static_cast<std::size_t>(info_size))) {
    if (sink.stopped) return false;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup info to fifo, errno=%d, %m\n"), errno));
    return fail_with_alert(job, ALERT_WRITE);
  }
  large.reset();
  io.close();
  if (!io.open(backup_file.c_str(), Client_IO_Ex::MODE_READ, 0, 0)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open file %s: %s\n"), backup_file.c_str(), io.error()));
    return fail_with_alert(job, ALERT_STORAGE_OPEN);
  }
  host_sleep(ACE_Time_Value(3));
  for (;;) {
    const ssize_t n = io.read(buf, BRCMD_BUFFER_SIZE);
    if (n < 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read backup data: %s\n"), io.error()));
      return fail_with_alert(job, ALERT_STREAM_READ);
    }
    if (n == 0) {
      if (expected_size == 0 || io.original_size() == expected_size) return true;
      ACE_ERROR(
          (LM_ERROR, ACE_TEXT("%N:%l Failed to read backup data: storage file %s holds %Q bytes, its record %Q\n"),
           backup_file.c_str(), static_cast<ACE_UINT64>(io.original_size()), static_cast<ACE_UINT64>(expected_size)));
      return fail_with_alert(job, ALERT_STREAM_READ);
    }
    if (!sink.write_all(buf, static_cast<std::size_t>(n))) {
      if (sink.stopped) return false;
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup data to fifo, errno=%d, %m\n"), errno));
      return fail_with_alert(job, ALERT_WRITE);
    }
    progress.add(static_cast<std::uint64_t>(n));
  }
}

}  // namespace oscar
