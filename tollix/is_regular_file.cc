#include "tollix/is_regular_file.h"

#include <sys/stat.h>

bool is_regular_file(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}
