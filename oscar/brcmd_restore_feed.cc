#include "oscar/brcmd_restore_feed.h"

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <cerrno>

#include "host/base/sleep.h"
#include "host/jobs/job.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_fifo.h"
#include "oscar/job_alerts.h"

namespace oscar {

namespace {

bool write_all(int fd, const char* buf, std::size_t n) {
  size_t done = 0;
  return ACE::write_n(fd, buf, n, &done) == static_cast<ssize_t>(n) && done == n;
}

}  // namespace

bool feed_backup_set(Job& job, Client_IO_Ex& io, const std::string& backup_file, int fd, Stream_Progress& progress,
                     std::uint64_t expected_size) {
  Sigpipe_Guard no_sigpipe;
  char buf[BRCMD_BUFFER_SIZE];
  if (io.read(buf, BACKUP_INFO_HEAD_SIZE) != static_cast<ssize_t>(BACKUP_INFO_HEAD_SIZE)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read backup info head: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  const std::int32_t info_size = backup_info_size(reinterpret_cast<const unsigned char*>(buf));
  if (info_size < static_cast<std::int32_t>(BACKUP_INFO_HEAD_SIZE) ||
      info_size > static_cast<std::int32_t>(BRCMD_BUFFER_SIZE)) {
    ACE_ERROR((
        LM_ERROR, ACE_TEXT("%N:%l Invalid backup info size %d in backup set %s: it must lie between %d and %d bytes\n"),
        info_size, backup_file.c_str(), static_cast<int>(BACKUP_INFO_HEAD_SIZE), static_cast<int>(BRCMD_BUFFER_SIZE)));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  const std::size_t data_size = static_cast<std::size_t>(info_size) - BACKUP_INFO_HEAD_SIZE;
  if (data_size != 0 && io.read(buf + BACKUP_INFO_HEAD_SIZE, data_size) != static_cast<ssize_t>(data_size)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to read backup info data: %s\n"), io.error()));
    return fail_with_alert(job, ALERT_STREAM_READ);
  }
  if (!write_all(fd, buf, static_cast<std::size_t>(info_size))) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup info to fifo, errno=%d, %m\n"), errno));
    return fail_with_alert(job, ALERT_WRITE);
  }
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
    if (!write_all(fd, buf, static_cast<std::size_t>(n))) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to write backup data to fifo, errno=%d, %m\n"), errno));
      return fail_with_alert(job, ALERT_WRITE);
    }
    progress.add(static_cast<std::uint64_t>(n));
  }
}

}  // namespace oscar
