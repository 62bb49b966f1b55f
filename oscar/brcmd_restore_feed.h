#ifndef OSCAR_BRCMD_RESTORE_FEED_H
#define OSCAR_BRCMD_RESTORE_FEED_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "oscar/brcmd_stream.h"

class Client_IO_Ex;
class Job;

namespace oscar {

// The restore side's one transfer buffer; it holds the head and the info
// data of a set together, so a set whose BACKUP_INFO_SIZE lies outside
// [BACKUP_INFO_HEAD_SIZE, BRCMD_BUFFER_SIZE] cannot be fed.
const std::size_t BRCMD_BUFFER_SIZE = 8192;

// Feeds one stored backup set to brcmd through fd (the fifo, open for
// writing, blocking): first the head and the info data read from the
// storage file open for reading in io, in one write; then, after the file
// is reopened (so that it reads from its first byte again) and a pause of
// 3 seconds (through the host's sleep), the whole file in chunks of up to
// BRCMD_BUFFER_SIZE bytes. Progress counts every data byte. Answers true
// when the whole file was written. On failure raises the job alert
// (ALERT_STORAGE_OPEN for the reopen, ALERT_STREAM_READ for a storage read
// that fails or comes short or a head announcing a size outside the
// buffer, ALERT_WRITE for a short fifo write), logs once and answers false.
// The caller closes fd. SIGPIPE is kept from the calling thread meanwhile,
// so a reader that went away fails the write. `expected_size` is the set's
// size as its record gives it (0: unknown): a file that ends before it (an
// uncompressed file cut short has no frame to tell) fails with
// ALERT_STREAM_READ before the end of the stream reaches brcmd, so the
// caller can end brcmd without it applying a partial set.
bool feed_backup_set(Job& job, Client_IO_Ex& io, const std::string& backup_file, int fd, Stream_Progress& progress,
                     std::uint64_t expected_size = 0);

}  // namespace oscar

#endif
