#include "tollix/read_each_line.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdlib>

namespace {

const std::size_t STREAM_BUFFER_SIZE = 8192;

// Frees the line buffer that getdelim grows.
struct Line_Buffer {
  char* data = nullptr;
  std::size_t size = 0;
  ~Line_Buffer() { std::free(data); }
};

}  // namespace

bool read_visitor(const char* path, const Read_Visitor& visitor, bool log) {
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) {
    if (log) ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open %s for reading, errno=%d, %m\n"), path, errno));
    return false;
  }
  std::setvbuf(f, nullptr, _IOFBF, STREAM_BUFFER_SIZE);
  bool ok = visitor(f);
  if (!ok && log) ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read %s, errno=%d, %m\n"), path, errno));
  std::fclose(f);
  return ok;
}

bool read_each_line(const char* path, const Line_Callback& callback, bool log, char delim) {
  return read_visitor(
      path,
      [&callback, delim](std::FILE* f) {
        Line_Buffer line;
        for (;;) {
          errno = 0;
          ssize_t n = ::getdelim(&line.data, &line.size, delim, f);
          if (n < 0) {
            if (std::ferror(f)) {
              if (errno == 0) errno = EIO;
              return false;
            }
            return true;
          }
          std::size_t len = static_cast<std::size_t>(n);
          if (len > 0 && line.data[len - 1] == delim) --len;
          if (!callback(std::string(line.data, len))) return true;
        }
      },
      log);
}
