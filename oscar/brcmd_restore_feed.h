#ifndef OSCAR_BRCMD_RESTORE_FEED_H
#define OSCAR_BRCMD_RESTORE_FEED_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "oscar/brcmd_stream.h"

class Client_IO_Ex;
class Job;

namespace oscar {

// The restore side's transfer buffer of the data chunks, and of the head
// and info data together when they fit in it.
const std::size_t BRCMD_BUFFER_SIZE = 8192;

// Feeds one stored backup set to brcmd through fd (the fifo `fifo`, open
// for writing, blocking): first the head and the info data read from the
// storage file open for reading in io, in one piece; then, after the file
// is reopened (so that it reads from its first byte again) and a pause of
// 3 seconds (through the host's sleep), the whole file in chunks of up to
// BRCMD_BUFFER_SIZE bytes. Info data of any size the backup side accepts
// (up to MAX_BACKUP_INFO_DATA_SIZE) is fed; larger than the buffer, it
// takes one allocation of its size. fd is made non-blocking for the feed
// and every write that finds no room in the fifo waits through
// await_fifo: brcmd staying alive without reading for
// stall_seconds fails the feed (ALERT_WRITE), a cancelled job leaves it
// promptly (no alert). Progress counts every data byte. Answers true when
// the whole file was written. On failure raises the job alert
// (ALERT_STORAGE_OPEN for the reopen, ALERT_STREAM_READ for a storage read
// that fails or comes short or a head announcing a size outside
// [BACKUP_INFO_HEAD_SIZE, BACKUP_INFO_HEAD_SIZE + MAX_BACKUP_INFO_DATA_SIZE],
// ALERT_WRITE for a failed fifo write), logs once and answers false. The
// caller closes fd. SIGPIPE is kept from the calling thread meanwhile, so
// a reader that went away fails the write. `expected_size` is the set's
// size as its record gives it (0: unknown): a file that ends before it (an
// uncompressed file cut short has no frame to tell) fails with
// ALERT_STREAM_READ before the end of the stream reaches brcmd, so the
// caller can end brcmd without it applying a partial set.
bool feed_backup_set(Job& job, Client_IO_Ex& io, const std::string& backup_file, int fd, const std::string& fifo,
                     Stream_Progress& progress, std::uint64_t expected_size = 0,
                     int stall_seconds = DEFAULT_STALL_TIMEOUT_SECONDS);

}  // namespace oscar

#endif
