// Feeds arbitrary bytes to the backup stream copy as what brcmd wrote into
// its fifo: a head announcing the size of the backup info, the info lines,
// then the data. The copy must end (stored or refused) without a crash,
// leak or hang, and when it stores the stream it stores it byte for byte
// and counts every byte.
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "host/base/fs_util.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_stream.h"
#include "tests/support/plain_job.h"

namespace {

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzz::quiet_temp_dir("stream-head-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A regular file stands in for the fifo: it reads like a writer that
  // wrote everything and closed.
  const std::string stream = g_dir + "/stream";
  if (!fuzz::write_all(stream, data, size)) std::abort();
  const int fd = open_cloexec(stream.c_str(), O_RDONLY, 0);
  if (fd < 0) std::abort();

  Job_Definition_var def(new Job_Definition());
  def->id("stream-head-fuzz");
  Job_var job(new Plain_Job(def));
  Job_Event_Handler events(*job);
  Client_IO_Base::Options opts;
  opts.overwrite = true;
  Client_IO_Ex io;
  if (!io.connect("file://" + g_dir + "/pool", opts) || !io.open("set", Client_IO_Ex::MODE_WRITE)) std::abort();
  std::uint64_t bytes_sent = 0;
  const bool ok = oscar::copy_backup_stream(*job, events, fd, stream, io, bytes_sent, 5);
  ::close(fd);
  const bool closed = io.close();
  if (ok) {
    if (!closed || bytes_sent != size) std::abort();
    if (fuzz::read_all(g_dir + "/pool/set") != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  }
  return 0;
}
