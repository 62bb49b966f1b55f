#include "host/storage/file_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/base/fs_util.h"

namespace {

const char* const FILE_SCHEME = "file://";
const unsigned long long WRITEBACK_STEP = 8 * 1024 * 1024;

}  // namespace

File_Driver::~File_Driver() { abort(); }

bool File_Driver::fail_errno(const std::string& what, int err) { return fail(what + ": " + std::strerror(err)); }

bool File_Driver::connect(const std::string& url, const Client_IO_Base::Options&) {
  abort();
  const std::size_t scheme_len = std::strlen(FILE_SCHEME);
  if (url.compare(0, scheme_len, FILE_SCHEME) != 0 || url.size() <= scheme_len || url[scheme_len] != '/')
    return fail("unsupported storage URL '" + url + "': expected file:///absolute/directory");
  dir_ = url.substr(scheme_len);
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  return true;
}

void File_Driver::abort() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
  writing_ = false;
}

bool File_Driver::open_write(const std::string& name, bool overwrite) {
  abort();
  path_ = location(name);
  if (mkdir_p(dir_, 0750) != 0) return fail_errno("cannot create storage directory " + dir_, errno);
  struct stat st;
  if (!overwrite && ::lstat(path_.c_str(), &st) == 0) return fail("storage file " + path_ + " already exists");
  std::string temp = dir_ + "/." + name + ".XXXXXX";
  const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return fail_errno("cannot create storage file in " + dir_, errno);
  ::fchmod(fd, 0640);
  fd_ = fd;
  temp_path_ = temp;
  writing_ = true;
  overwrite_ = overwrite;
  written_ = 0;
  writeback_from_ = 0;
  return true;
}

bool File_Driver::open_read(const std::string& name) {
  abort();
  path_ = location(name);
  const int fd = open_cloexec(path_.c_str(), O_RDONLY);
  if (fd < 0) return fail_errno("cannot open storage file " + path_, errno);
  fd_ = fd;
  return true;
}

ssize_t File_Driver::read(char* buf, std::size_t len) {
  for (;;) {
    const ssize_t n = ::read(fd_, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_errno("cannot read storage file " + path_, errno);
    return n;
  }
}

bool File_Driver::write(const char* p, std::size_t n) {
  while (n) {
    const ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) {
      const int err = errno;
      abort();
      return fail_errno("cannot write storage file " + path_, err);
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    written_ += static_cast<unsigned long long>(w);
  }
  // Start the write-back of what is written so far, so that the sync in
  // close has little left to wait for and the page cache does not fill up.
  if (written_ - writeback_from_ >= WRITEBACK_STEP) {
    ::sync_file_range(fd_, static_cast<off64_t>(writeback_from_), static_cast<off64_t>(written_ - writeback_from_),
                      SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written_;
  }
  return true;
}

bool File_Driver::close() {
  if (!writing_) {
    abort();
    return true;
  }
  if (::fsync(fd_) != 0) {
    const int e = errno;
    abort();
    return fail_errno("cannot sync storage file " + path_, e);
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int e = errno;
    abort();
    return fail_errno("cannot close storage file " + path_, e);
  }
  // link refuses an existing name, rename replaces it.
  const int rc = overwrite_ ? ::rename(temp_path_.c_str(), path_.c_str()) : ::link(temp_path_.c_str(), path_.c_str());
  if (rc != 0) {
    const int e = errno;
    abort();
    return fail_errno("cannot publish storage file " + path_, e);
  }
  if (!overwrite_) ::unlink(temp_path_.c_str());
  temp_path_.clear();
  writing_ = false;
  const int dfd = open_cloexec(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

int File_Driver::exists(const std::string& name) {
  unsigned long long size = 0;
  return stored_size(name, size);
}

int File_Driver::stored_size(const std::string& name, unsigned long long& size) {
  struct stat st;
  const std::string path = location(name);
  if (::lstat(path.c_str(), &st) == 0) {
    size = static_cast<unsigned long long>(st.st_size);
    return 1;
  }
  const int err = errno;
  fail_errno("cannot look up storage file " + path, err);
  return err == ENOENT || err == ENOTDIR ? 0 : -1;
}

bool File_Driver::remove(const std::string& name) {
  const std::string path = location(name);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
    return fail_errno("cannot remove storage file " + path, errno);
  return true;
}

int File_Driver::list_uploads(std::vector<Stored_Entry>& out) {
  out.clear();
  return 1;
}

bool File_Driver::discard(const Stored_Entry& entry) {
  const std::string path = location(entry.name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    return fail_errno("cannot look up storage file " + path, errno);
  }
  if (S_ISDIR(st.st_mode)) return fail("cannot remove storage file " + path + ": it is a directory");
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_errno("cannot remove storage file " + path, errno);
  return true;
}

bool File_Driver::removable(const std::string& name) {
  const std::string path = location(name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) return true;
    return fail_errno("cannot look up storage file " + path, err);
  }
  if (!S_ISREG(st.st_mode))
    return fail("cannot remove storage file " + path + ": it is " +
                (S_ISDIR(st.st_mode) ? "a directory" : "not a regular file"));
  if (::access(dir_.c_str(), W_OK | X_OK) != 0)
    return fail_errno("cannot remove storage file " + path + " from its directory", errno);
  return true;
}

bool File_Driver::list(std::vector<std::string>& names) {
  names.clear();
  DIR* d = ::opendir(dir_.c_str());
  if (!d) {
    if (errno == ENOENT) return true;  // nothing written yet
    return fail_errno("cannot list storage directory " + dir_, errno);
  }
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;  // temporary files and the directory's own entries
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

namespace {

// Deeper than any pool's folders (pool/resource/file, pool/host/definition/file).
const int TREE_DEPTH_MAX = 8;

bool walk(int dirfd, const std::string& prefix, int depth, std::vector<Stored_Entry>& out, std::string& err) {
  DIR* d = ::fdopendir(dirfd);
  if (!d) {
    err = std::strerror(errno);
    ::close(dirfd);
    return false;
  }
  bool ok = true;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISDIR(st.st_mode) && depth < TREE_DEPTH_MAX) {
      const int sub = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0 || !walk(sub, prefix + name + "/", depth + 1, out, err)) {
        if (sub < 0) err = prefix + name + ": " + std::strerror(errno);
        ok = false;
        break;
      }
    } else if (S_ISREG(st.st_mode)) {
      Stored_Entry entry;
      entry.name = prefix + name;
      entry.size = static_cast<unsigned long long>(st.st_size);
      entry.mtime = st.st_mtime;
      entry.temporary = name[0] == '.';
      out.push_back(entry);
    }
  }
  ::closedir(d);
  return ok;
}

}  // namespace

bool File_Driver::list_tree(std::vector<Stored_Entry>& out) {
  out.clear();
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // nothing written yet
    return fail_errno("cannot list storage directory " + dir_, errno);
  }
  std::string err;
  if (!walk(fd, std::string(), 0, out, err)) return fail("cannot list storage directory " + dir_ + ": " + err);
  std::sort(out.begin(), out.end(), [](const Stored_Entry& a, const Stored_Entry& b) { return a.name < b.name; });
  return true;
}
