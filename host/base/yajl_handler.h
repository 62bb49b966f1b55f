#ifndef HOST_YAJL_HANDLER_H
#define HOST_YAJL_HANDLER_H

#include <cstddef>
#include <string>

// The host's event-driven JSON reader. A YAJL_Handler receives one call per
// JSON event while parse() runs YAJL over a text; a handler that answers
// false stops the parse. Handlers run on the thread that calls parse().
// Not thread-safe: one parse at a time per handler.
class YAJL_Handler {
 public:
  virtual ~YAJL_Handler();

  // Parses the whole text (yajl_complete_parse included). Answers true when
  // YAJL accepted the text and no handler stopped it. On failure *error, if
  // given, holds YAJL's message, "duplicate key \"KEY\"" for an object
  // that names a member twice (the parse stops at the second, before the
  // handler sees it), or "stopped by handler". Numbers reach
  // handle_number_i as their raw text, so any size of number parses.
  bool parse(const char* text, std::size_t len, std::string* error = nullptr);

  // Event handlers; the base versions answer false for null, boolean,
  // integer, double and number (values the documents never hold) and true
  // for the array events (arrays are accepted and skipped).
  virtual bool handle_null_i();
  virtual bool handle_boolean_i(int value);
  virtual bool handle_integer_i(long long value);
  virtual bool handle_double_i(double value);
  virtual bool handle_number_i(const char* text, std::size_t len);
  virtual bool handle_string_i(const unsigned char* text, std::size_t len) = 0;
  virtual bool handle_start_map_i() = 0;
  virtual bool handle_map_key_i(const unsigned char* key, std::size_t len) = 0;
  virtual bool handle_end_map_i() = 0;
  virtual bool handle_start_array_i();
  virtual bool handle_end_array_i();
};

#endif
