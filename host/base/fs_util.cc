#include "host/base/fs_util.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

namespace {

// "0640" for a mode's permission bits, sticky and set-id bits included.
std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Creates a new file beside path under a random name (O_EXCL|O_NOFOLLOW,
// mode 0600) and answers its descriptor, temp holding the name; -1 with
// errno on failure.
int create_temp_beside(const std::string& path, std::string& temp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return -1;
    char suffix[2 * sizeof bytes + 1];
    for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(suffix + 2 * i, 3, "%02x", bytes[i]);
    temp = path + "." + suffix + ".tmp";
    const int fd = open_cloexec(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int write_file_atomic(const std::string& path, const void* data, std::size_t size, bool replace) {
  std::string temp;
  const int fd = create_temp_beside(path, temp);
  if (fd < 0) return -1;
  bool ok = write_all(fd, static_cast<const char*>(data), size) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && (replace ? ::rename(temp.c_str(), path.c_str()) : ::link(temp.c_str(), path.c_str())) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok || !replace) ::unlink(temp.c_str());
  errno = saved;
  return ok ? 0 : -1;
}

int check_private_dir(const std::string& dir, std::string& why) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    why = "cannot examine " + dir + ": " + std::strerror(errno);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = dir + " is not a directory";
    return -1;
  }
  if (st.st_uid != ::geteuid()) {
    why = dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to this user (uid " +
          std::to_string(::geteuid()) + "): chown " + std::to_string(::geteuid()) + " " + dir + " or use another one";
    return -1;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    why = dir + " can be written by other users (mode " + octal_mode(st.st_mode) + "): chmod 700 " + dir;
    return -1;
  }
  return 0;
}

int make_private_dir(const std::string& dir, std::string& why) {
  if (mkdir_p(dir, 0700) != 0) {
    why = "cannot make " + dir + ": " + std::strerror(errno);
    return -1;
  }
  return check_private_dir(dir, why);
}

int check_private_file(int fd, const std::string& path, const char* what, std::string& why) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    why = std::string("cannot examine ") + what + " " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    why = std::string(what) + " " + path + " is not a regular file";
    return -1;
  }
  if (st.st_uid != ::geteuid()) {
    why = std::string(what) + " " + path + " belongs to uid " + std::to_string(st.st_uid) +
          ", not to this user: chown " + std::to_string(::geteuid()) + " " + path + "; chmod 600 " + path;
    return -1;
  }
  if (st.st_mode & 077) {
    why = std::string(what) + " " + path + " has mode " + octal_mode(st.st_mode) + ", open to other users: chmod 600 " +
          path;
    return -1;
  }
  return 0;
}
