#ifndef OSCAR_BRCMD_STREAM_H
#define OSCAR_BRCMD_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/jobs/job.h"
#include "host/jobs/job_run_options.h"
#include "oscar/job_alert_codes.h"

class Client_IO;
class Job_Event_Handler;

namespace oscar {

// The backup stream of brcmd's pipe mode, which is also the storage file of
// a physical backup, byte for byte:
//   1. the backup info head, BACKUP_INFO_HEAD_SIZE bytes; its first 4 bytes
//      are, big-endian, BACKUP_INFO_SIZE: the length of head and info data;
//   2. the backup info data, BACKUP_INFO_SIZE - 512 bytes of text lines,
//      "path=size" naming the database's files (other lines ignored);
//   3. the backup data up to the end of the stream, opaque.

const std::size_t BUFFER_SIZE = 8192;
const std::size_t BACKUP_INFO_HEAD_SIZE = 512;
// The largest info data the backup side accepts; a head announcing more is
// treated as corrupt, so that a damaged head cannot exhaust memory.
const std::int64_t MAX_BACKUP_INFO_DATA_SIZE = 64LL << 20;

// The stall limit of a run: the run option RUN_OPTION_STALL_TIMEOUT as a
// positive whole number of seconds; DEFAULT_STALL_TIMEOUT_SECONDS when
// options is null or the value is absent, not a number or not positive.
int stall_limit_seconds(const Action_Options* options);

// Waits until brcmd's end of the fifo fd is ready for `events` (POLLIN or
// POLLOUT): at most stall_seconds, and no longer than a fraction of a
// second once the job's cancel is requested. True when it is ready.
// Otherwise logs one line and answers false: a stall (brcmd alive but
// moving nothing, "Process brcmd moved no data through fifo ...", naming
// `fifo`) and a failed poll raise `alert`; a cancel raises none and leaves
// errno ECANCELED.
bool await_fifo(Job& job, int fd, short events, const std::string& fifo, int stall_seconds, Job_Alert_Code alert);

// A transfer through the fifo that sees the job cancelled between two
// pieces: logs it (no alert) and leaves errno ECANCELED.
void note_fifo_cancel(const std::string& fifo);

// BACKUP_INFO_SIZE of a head (its first 4 bytes, big-endian), as a signed
// 32-bit number.
std::int32_t backup_info_size(const unsigned char* head);

// The backup size the info data announces: the sum of the sizes of the
// "path=size" lines whose path names an existing regular file (the size is
// the leading decimal number after the first "="). 0 when nothing counts.
std::uint64_t get_backup_set_size(const char* buf, unsigned long len);

// Progress of one backup or restore over its announced size: reports each
// whole percent from 1 to 99 once, in rising order; 100 and more are never
// reported (the final event does that). Not thread-safe.
class Stream_Progress {
 public:
  // already: bytes that count as sent without being reported.
  Stream_Progress(Job_Event_Handler& events, std::uint64_t total, std::uint64_t already = 0)
      : events_(events), total_(total), bytes_sent_(already) {}
  // Counts n more bytes and reports the percent, with the total and the
  // bytes sent, when it rose.
  void add(std::uint64_t n);
  std::uint64_t bytes_sent() const { return bytes_sent_; }

 private:
  Job_Event_Handler& events_;
  std::uint64_t total_;
  std::uint64_t bytes_sent_;
  std::uint64_t pre_progress_ = 0;
};

// Copies a whole backup stream from fd (open for reading, blocking) into
// the storage file open for writing in io: head, info data and data, each
// piece written as it is read, with one reusable BUFFER_SIZE buffer and one
// allocation for the info data. fd is made non-blocking for the copy and
// every read that finds nothing waits through await_fifo: brcmd staying
// alive without writing for stall_seconds fails the copy
// (ALERT_STREAM_READ), and a cancelled job leaves it promptly (no alert);
// a slow brcmd that keeps writing never trips the limit. Progress goes to events over the size the
// info data announces. fifo names the source in messages. Answers true at
// the end of the stream with bytes_sent holding every byte written. On
// failure raises the job alert (ALERT_STREAM_READ for a short or bad
// stream, ALERT_WRITE for a storage write), logs once and answers false; a
// head announcing less than its own size fails with errno ENOMEM, one log
// line and no alert. Nothing written to
// storage is removed here. Runs on the calling thread; fd, io and events
// must stay valid for the call.
bool copy_backup_stream(Job& job, Job_Event_Handler& events, int fd, const std::string& fifo, Client_IO& io,
                        std::uint64_t& bytes_sent, int stall_seconds = DEFAULT_STALL_TIMEOUT_SECONDS);

}  // namespace oscar

#endif
