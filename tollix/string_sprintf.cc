#include "tollix/string_sprintf.h"

std::string string_sprintf(const char* fmt, ...) {
  std::string s;
  va_list ap;
  va_start(ap, fmt);
  string_vsprintf(s, fmt, ap, false);
  va_end(ap);
  return s;
}
