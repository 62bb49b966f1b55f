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

#include "host/base/fs_util.h"
#include "host/jobs/job_event_handler.h"
#include "host/storage/client_io_ex.h"
#include "oscar/brcmd_stream.h"
#include "tests/support/plain_job.h"

namespace {

std::string g_dir;

bool write_all(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open_cloexec(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == size;
}

std::string read_all(const std::string& path) {
  std::string out;
  const int fd = open_cloexec(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/stream-head-fuzz-XXXXXX";
  if (::mkdtemp(&templ[0]) == nullptr) std::abort();
  g_dir = templ;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A regular file stands in for the fifo: it reads like a writer that
  // wrote everything and closed.
  const std::string stream = g_dir + "/stream";
  if (!write_all(stream, data, size)) std::abort();
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
    if (read_all(g_dir + "/pool/set") != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  }
  return 0;
}
