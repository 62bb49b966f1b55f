#include "host/base/yajl_gen.h"

#include <yajl/yajl_gen.h>

#include <cstdio>

bool YAJL_Gen::string(Str s) {
  return yajl_gen_string(gen_, reinterpret_cast<const unsigned char*>(s.ptr), s.len) == yajl_gen_status_ok;
}

bool YAJL_Gen::integer(long long v) { return yajl_gen_integer(gen_, v) == yajl_gen_status_ok; }

bool YAJL_Gen::uinteger(unsigned long long v) {
  char text[24];
  int n = std::snprintf(text, sizeof text, "%llu", v);
  return n > 0 && number(Str(text, static_cast<std::size_t>(n)));
}

bool YAJL_Gen::number(Str text) { return yajl_gen_number(gen_, text.ptr, text.len) == yajl_gen_status_ok; }

bool YAJL_Gen::boolean(bool v) { return yajl_gen_bool(gen_, v ? 1 : 0) == yajl_gen_status_ok; }

bool YAJL_Gen::map_open() { return yajl_gen_map_open(gen_) == yajl_gen_status_ok; }
bool YAJL_Gen::map_close() { return yajl_gen_map_close(gen_) == yajl_gen_status_ok; }
bool YAJL_Gen::array_open() { return yajl_gen_array_open(gen_) == yajl_gen_status_ok; }
bool YAJL_Gen::array_close() { return yajl_gen_array_close(gen_) == yajl_gen_status_ok; }
