#ifndef TOLLIX_IS_REGULAR_FILE_H
#define TOLLIX_IS_REGULAR_FILE_H

// True when stat(2) of path succeeds and names a regular file (symbolic
// links are followed). Thread-safe.
bool is_regular_file(const char* path);

#endif
