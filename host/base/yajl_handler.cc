#include "host/base/yajl_handler.h"

#include <yajl/yajl_parse.h>

#include <set>
#include <vector>

namespace {

// What the callbacks of one parse share: the handler, and the keys seen in
// each object that is open, innermost last, so that a member named twice is
// refused instead of one silently replacing the other.
struct Parse_Context {
  YAJL_Handler* handler;
  std::vector<std::set<std::string>> keys;
  bool has_duplicate = false;
  std::string duplicate;  // the first key found twice
};

Parse_Context& context_of(void* ctx) { return *static_cast<Parse_Context*>(ctx); }
YAJL_Handler* handler_of(void* ctx) { return context_of(ctx).handler; }

int on_null(void* ctx) { return handler_of(ctx)->handle_null_i() ? 1 : 0; }
int on_boolean(void* ctx, int value) { return handler_of(ctx)->handle_boolean_i(value) ? 1 : 0; }
int on_number(void* ctx, const char* text, size_t len) { return handler_of(ctx)->handle_number_i(text, len) ? 1 : 0; }
int on_string(void* ctx, const unsigned char* text, size_t len) {
  return handler_of(ctx)->handle_string_i(text, len) ? 1 : 0;
}
int on_start_map(void* ctx) {
  context_of(ctx).keys.emplace_back();
  return handler_of(ctx)->handle_start_map_i() ? 1 : 0;
}
int on_map_key(void* ctx, const unsigned char* key, size_t len) {
  Parse_Context& c = context_of(ctx);
  if (!c.keys.empty() && !c.keys.back().emplace(reinterpret_cast<const char*>(key), len).second) {
    c.has_duplicate = true;
    c.duplicate.assign(reinterpret_cast<const char*>(key), len);
    return 0;
  }
  return c.handler->handle_map_key_i(key, len) ? 1 : 0;
}
int on_end_map(void* ctx) {
  Parse_Context& c = context_of(ctx);
  if (!c.keys.empty()) c.keys.pop_back();
  return c.handler->handle_end_map_i() ? 1 : 0;
}
int on_start_array(void* ctx) { return handler_of(ctx)->handle_start_array_i() ? 1 : 0; }
int on_end_array(void* ctx) { return handler_of(ctx)->handle_end_array_i() ? 1 : 0; }

// With the number callback set YAJL hands every number over as its text and
// never calls the integer and double callbacks, so no number is too big.
const yajl_callbacks CALLBACKS = {
    on_null,      on_boolean, nullptr,    nullptr,        on_number,    on_string,
    on_start_map, on_map_key, on_end_map, on_start_array, on_end_array,
};

// Frees the parser handle on every way out of parse().
struct Handle_Owner {
  yajl_handle h;
  ~Handle_Owner() {
    if (h != nullptr) yajl_free(h);
  }
};

}  // namespace

YAJL_Handler::~YAJL_Handler() {}

bool YAJL_Handler::parse(const char* text, std::size_t len, std::string* error) {
  Parse_Context context{this, {}, false, {}};
  Handle_Owner owner{yajl_alloc(&CALLBACKS, nullptr, &context)};
  if (owner.h == nullptr) {
    if (error != nullptr) *error = "out of memory";
    return false;
  }
  static const unsigned char EMPTY[1] = {0};
  const unsigned char* bytes = text != nullptr ? reinterpret_cast<const unsigned char*>(text) : EMPTY;
  if (text == nullptr) len = 0;
  yajl_status st = yajl_parse(owner.h, bytes, len);
  if (st == yajl_status_ok) st = yajl_complete_parse(owner.h);
  if (st == yajl_status_ok) return true;
  if (error != nullptr) {
    if (context.has_duplicate) {
      *error = "duplicate key \"" + context.duplicate + "\"";
    } else if (st == yajl_status_client_canceled) {
      *error = "stopped by handler";
    } else {
      unsigned char* msg = yajl_get_error(owner.h, 0, bytes, len);
      *error = msg != nullptr ? reinterpret_cast<const char*>(msg) : "invalid JSON";
      if (msg != nullptr) yajl_free_error(owner.h, msg);
    }
  }
  return false;
}

bool YAJL_Handler::handle_null_i() { return false; }
bool YAJL_Handler::handle_boolean_i(int) { return false; }
bool YAJL_Handler::handle_integer_i(long long) { return false; }
bool YAJL_Handler::handle_double_i(double) { return false; }
bool YAJL_Handler::handle_number_i(const char*, std::size_t) { return false; }
bool YAJL_Handler::handle_start_array_i() { return true; }
bool YAJL_Handler::handle_end_array_i() { return true; }
