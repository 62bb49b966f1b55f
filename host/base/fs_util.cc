#include "host/base/fs_util.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

int mkdir_p(const std::string& dir, mode_t mode) {
  if (dir.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::string path;
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    path = dir.substr(0, pos);
    if (path.empty()) continue;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path) == 0 || errno == ENOENT ? 0 : -1;
}
}  // namespace

int rm_rf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
  return ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int open_cloexec(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string temp_path_for(const std::string& path) {
  static std::atomic<unsigned long> made{0};
  return path + "." + std::to_string(::getpid()) + "." + std::to_string(++made) + ".tmp";
}
