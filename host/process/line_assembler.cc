#include "host/process/line_assembler.h"

#include <cstring>

Line_Assembler::Line_Assembler(unsigned long max_line) : max_line_(max_line != 0 ? max_line : DEFAULT_MAX_LINE) {}

void Line_Assembler::emit(std::string& line, const Sink& sink) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  sink(line.c_str(), line.size());
  line.clear();
}

void Line_Assembler::feed(const char* data, unsigned long len, const Sink& sink) {
  while (len != 0) {
    const char* nl = static_cast<const char*>(std::memchr(data, '\n', len));
    unsigned long take = nl != nullptr ? static_cast<unsigned long>(nl - data) : len;
    const unsigned long room = max_line_ - partial_.size();
    if (take > room) {
      // Hand on a full piece; the rest of the line continues after it.
      partial_.append(data, room);
      sink(partial_.c_str(), partial_.size());
      partial_.clear();
      data += room;
      len -= room;
      continue;
    }
    partial_.append(data, take);
    if (nl == nullptr) return;
    emit(partial_, sink);
    data += take + 1;
    len -= take + 1;
  }
}

void Line_Assembler::finish(const Sink& sink) {
  if (!partial_.empty()) emit(partial_, sink);
}
