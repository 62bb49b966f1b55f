#ifndef HOST_LINE_ASSEMBLER_H
#define HOST_LINE_ASSEMBLER_H

#include <functional>
#include <string>

// Cuts a byte stream that arrives in arbitrary pieces into lines.
//
// A line ends at "\n"; a "\r" right before it belongs to the line end too.
// Each line is handed on without its line end, as a pointer and a length;
// the bytes are followed by a NUL in the buffer (so line[len] == '\0', and
// an empty line reads as "") but may themselves hold NULs. A line longer
// than max_line bytes is handed on in pieces of max_line bytes, so one
// endless line never grows the buffer without bound. The pointer is valid
// only during the call.
//
// Not thread-safe: one assembler belongs to one stream reader.
class Line_Assembler {
 public:
  using Sink = std::function<void(const char* line, unsigned long len)>;

  // max_line of 0 takes DEFAULT_MAX_LINE.
  explicit Line_Assembler(unsigned long max_line = 0);

  static constexpr unsigned long DEFAULT_MAX_LINE = 65536;

  // Feeds len bytes; every line completed by them goes to sink.
  void feed(const char* data, unsigned long len, const Sink& sink);

  // Ends the stream: an unterminated last line (if any) goes to sink.
  // The assembler is then empty and may start a new stream.
  void finish(const Sink& sink);

  // Forgets a partial line without handing it on.
  void clear() { partial_.clear(); }

 private:
  void emit(std::string& line, const Sink& sink);

  unsigned long max_line_;
  std::string partial_;
};

#endif
