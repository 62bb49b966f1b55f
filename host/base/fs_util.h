#ifndef HOST_FS_UTIL_H
#define HOST_FS_UTIL_H

#include <sys/types.h>

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

// A name beside path, unique to the calling process and call, under which
// a replacement of path is written before it is renamed into place: two
// processes replacing one file at once never write into the same
// temporary file. Ends in ".tmp".
std::string temp_path_for(const std::string& path);

#endif
