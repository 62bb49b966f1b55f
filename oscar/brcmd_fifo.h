#ifndef OSCAR_BRCMD_FIFO_H
#define OSCAR_BRCMD_FIFO_H

#include <signal.h>

#include <ctime>
#include <functional>
#include <string>

namespace oscar {

// The named pipe between a job and brcmd, and opening its ends without
// waiting forever for a child that never opens the other one.

// Whether the child that is to open the other end is still running.
typedef std::function<bool()> Peer_Alive;

// Pipe capacity asked for on a fifo, so that brcmd and the copy rarely
// wait on each other (the default 64 KiB costs a quarter of the
// throughput). Unprivileged processes may ask for up to 1 MiB.
const int FIFO_PIPE_SIZE = 1 << 20;

// A fifo file name for a run that started at start_time: the local time as
// "%Y%m%d_%H%M%S", the process id and a number counted up within the
// process, then "_fifo". Two runs never get the same name, also when they
// start in the same second. Thread-safe.
std::string make_fifo_name(std::time_t start_time);

// Removes from dir the fifos that make_fifo_name named for a process that
// no longer runs: a run whose agent was killed outright could not remove
// its own. Only fifos of this process's user are touched; a process id
// that is running again (reused) keeps its fifo. Answers how many were
// removed. Thread-safe.
int remove_stale_fifos(const std::string& dir);

// Both openings refuse a path that is no longer the fifo the run made: a
// symbolic link (not followed), a file of another kind, or a fifo of
// another user. Each refusal logs one line saying why and answers -1 (errno
// ELOOP for a link, EPERM otherwise).

// Opens path (a fifo) for reading, close-on-exec. Returns once a writer has
// opened the other end (and possibly already closed it again): a blocking
// descriptor with the pipe enlarged to FIFO_PIPE_SIZE where the system
// allows. Checks alive every 100 ms while no writer came; when it answers
// false and still no writer came, answers -1 with errno ECHILD. -1 with the
// open's errno when the fifo cannot be opened.
int open_fifo_for_reading(const std::string& path, const Peer_Alive& alive);

// Opens path (a fifo) for writing, close-on-exec, once a reader has opened
// the other end: a blocking descriptor, pipe enlarged as above. While no
// reader is there, checks alive every 50 ms; when it answers false answers
// -1 with errno ENXIO. -1 with the open's errno for any other failure.
int open_fifo_for_writing(const std::string& path, const Peer_Alive& alive);

// Keeps SIGPIPE from the calling thread while it lives: a write into a
// fifo whose reader went away then fails with EPIPE instead of ending the
// process. A SIGPIPE raised meanwhile is consumed before the old mask is
// put back; errno is left as the owner set it. One per thread, on the
// stack.
class Sigpipe_Guard {
 public:
  Sigpipe_Guard();
  ~Sigpipe_Guard();
  Sigpipe_Guard(const Sigpipe_Guard&) = delete;
  Sigpipe_Guard& operator=(const Sigpipe_Guard&) = delete;

 private:
  sigset_t old_;
  bool blocked_;
};

}  // namespace oscar

#endif
