#include "host/base/job_mutex.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/job_cancel.h"
#include "host/base/sleep.h"

ACE_Thread_Mutex& Job_Mutex::get(const std::string& key) {
  static ACE_Thread_Mutex* table_lock = new ACE_Thread_Mutex();
  static auto* table = new std::map<std::string, std::unique_ptr<ACE_Thread_Mutex>>();
  ACE_Guard<ACE_Thread_Mutex> guard(*table_lock);
  std::unique_ptr<ACE_Thread_Mutex>& slot = (*table)[key];
  if (!slot) slot.reset(new ACE_Thread_Mutex());
  return *slot;
}

namespace {

const std::size_t MAX_HOLDER_TEXT = 400;

// Who holds the lock, as the holder wrote it into the lock file; empty
// while nothing is written (the holder may not have written it yet).
std::string holder_of(int fd) {
  char buf[MAX_HOLDER_TEXT + 64];
  const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
  if (n <= 0) return std::string();
  std::string text(buf, static_cast<std::size_t>(n));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// What the holder writes: one line "pid N (holder)", control characters of
// the holder text made spaces.
std::string holder_line(const std::string& holder) {
  std::string h = holder.substr(0, MAX_HOLDER_TEXT);
  for (char& c : h)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return "pid " + std::to_string(::getpid()) + " (" + h + ")\n";
}

}  // namespace

std::string Job_Lock::lock_file_path(const std::string& key) {
  const std::string& dir = agent_state_dir();
  if (dir.empty()) return std::string();
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, XXH3_128bits(key.data(), key.size()));
  static const char DIGITS[] = "0123456789abcdef";
  std::string name;
  for (unsigned char b : c.digest) {
    name += DIGITS[b >> 4];
    name += DIGITS[b & 15];
  }
  return dir + "/locks/" + name + ".lock";
}

Job_Lock::Job_Lock(const std::string& key, const std::string& holder, const ACE_Time_Value& timeout,
                   const Job_Cancel* cancel)
    : mutex_(Job_Mutex::get(key)) {
  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + timeout;
  const std::string path = lock_file_path(key);
  if (!path.empty()) {
    const std::string dir = agent_state_dir() + "/locks";
    if (mkdir_p(dir, 0700) != 0) {
      error_ = "cannot make the lock directory " + dir + ": " + std::strerror(errno);
      return;
    }
    fd_ = open_cloexec(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
      error_ = "cannot open the lock file " + path + ": " + std::strerror(errno);
      return;
    }
  }
  std::string whom;
  bool logged = false;
  // Logs once whom the run waits for; a holder that has not yet written
  // its name is given a few polls to do so.
  auto note_wait = [&](int polls) {
    if (logged) return;
    if (fd_ >= 0) whom = holder_of(fd_);
    if (whom.empty() && !have_mutex_) whom = "another job of this process";
    if (whom.empty() && polls < 3) return;
    if (whom.empty()) whom = "an unknown holder";
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Job %C waits for the lock of %C, held by %C\n"), holder.c_str(), key.c_str(),
               whom.c_str()));
    logged = true;
  };
  // Lets go of what is held; error_ says why, and for an ended wait whom.
  auto give_up = [&](const std::string& why, bool waited) {
    if (whom.empty() && fd_ >= 0) whom = holder_of(fd_);
    error_ = waited
                 ? why + " waiting for the lock of " + key + ", held by " + (whom.empty() ? "an unknown holder" : whom)
                 : why;
    if (have_mutex_) mutex_.release();
    have_mutex_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  };
  // Polls `attempt` (answers 1 when it took its lock, 0 while it must wait,
  // -1 on an error it reported through give_up) until it takes the lock,
  // the deadline passes or the job is cancelled; pauses grow from 20 ms to
  // 1 s, so a cancel is seen within a second.
  auto poll = [&](auto attempt) {
    ACE_Time_Value pause(0, 20 * 1000);
    for (int polls = 0;; ++polls) {
      const int r = attempt();
      if (r != 0) return r == 1;
      note_wait(polls);
      if (cancel != nullptr && cancel->requested()) {
        give_up("cancelled while", true);
        return false;
      }
      if (ACE_OS::gettimeofday() >= deadline) {
        give_up("timed out after " + std::to_string(timeout.sec()) + " seconds", true);
        return false;
      }
      host_sleep(pause);
      pause *= 2.0;
      if (pause > ACE_Time_Value(1)) pause = ACE_Time_Value(1);
    }
  };

  if (!poll([&] { return mutex_.tryacquire() == 0 ? 1 : 0; })) return;
  have_mutex_ = true;
  if (fd_ >= 0) {
    const bool got = poll([&] {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return 1;
      if (errno == EINTR || errno == EWOULDBLOCK) return 0;
      const std::string why = std::strerror(errno);
      give_up("cannot lock " + path + ": " + why, false);
      return -1;
    });
    if (!got) return;
    const std::string line = holder_line(holder);
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()))
      ACE_ERROR((LM_WARNING, ACE_TEXT("%N:%l Cannot record the holder in %C: %m\n"), path.c_str()));
  }
  locked_ = true;
}

Job_Lock::~Job_Lock() {
  if (!locked_) return;
  if (fd_ >= 0) {
    // Cleared first, so no waiter names a holder that has gone.
    if (::ftruncate(fd_, 0) != 0)
      ACE_DEBUG((LM_DEBUG, ACE_TEXT("%N:%l Cannot clear the lock file of a finished job: %m\n")));
    ::close(fd_);
  }
  mutex_.release();
}
