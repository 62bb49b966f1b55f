#ifndef HOST_FS_UTIL_H
#define HOST_FS_UTIL_H

#include <sys/types.h>

#include <cstddef>
#include <string>

// Small file-system helpers of the host. None of them throws; each answers
// 0 on success and -1 with errno set on failure. Safe from any thread.

// Creates dir and every missing parent with the given mode. An existing
// directory is success.
int mkdir_p(const std::string& dir, mode_t mode = 0755);

// Removes path and, for a directory, everything under it, without following
// symbolic links. A missing path is success.
int rm_rf(const std::string& path);

// open(2) with O_CLOEXEC added to flags, retried on EINTR. Answers the
// descriptor or -1.
int open_cloexec(const char* path, int flags, mode_t mode = 0);

// Writes data as the whole content of path, mode 0600, so that a reader
// sees either the old content or the new, never a part: the data go to a
// temporary file beside path, created with O_EXCL|O_NOFOLLOW under a name
// nobody can predict, synced, then renamed onto path (`replace` true) or
// linked to it (`replace` false: an existing path is then left as it is and
// the call fails with EEXIST). The temporary file is gone afterwards
// whatever the outcome. The caller keeps data; it is not copied.
int write_file_atomic(const std::string& path, const void* data, std::size_t size, bool replace = true);

// Whether dir may hold the agent's private state: an existing directory
// owned by the effective user that neither its group nor others can write
// (0755 and 0700 pass, 0775 and 1777 do not). 0, or -1 with `why` set to
// one line that names the directory and the command that mends it.
int check_private_dir(const std::string& dir, std::string& why);

// Makes dir and its missing parents with mode 0700, then checks dir as
// check_private_dir does (an existing directory is checked, not changed).
// 0, or -1 with `why` set to one line.
int make_private_dir(const std::string& dir, std::string& why);

// Whether the open file fd (found at path) may hold a secret such as a key
// or a password: a regular file owned by the effective user with no group
// or other permission bit. `what` names the file's role in `why`
// ("the cipher key file"). 0, or -1 with `why` set to one line naming the
// file, its mode or owner and the command that mends it.
int check_private_file(int fd, const std::string& path, const char* what, std::string& why);

#endif
