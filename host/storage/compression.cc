#include "host/storage/compression.h"

#include <cstring>

namespace {

struct Method_Name {
  const char* name;
  Compression_Method value;
  const char* suffix;
};

const Method_Name METHODS[] = {
    {"none", COMPR_NONE, ""},
    {"auto", COMPR_AUTO, ".zst"},
    {"lzop", COMPR_LZOP, ".lzo"},
    {"zstd", COMPR_ZSTD, ".zst"},
};

const Method_Name* find_value(int method) {
  for (const Method_Name& m : METHODS) {
    if (m.value == method) return &m;
  }
  return &METHODS[0];
}

}  // namespace

Compression_Method compression_name_to_value(const char* text, std::size_t len) {
  if (text == nullptr) return COMPR_NONE;
  for (const Method_Name& m : METHODS) {
    if (std::strlen(m.name) == len && std::memcmp(m.name, text, len) == 0) return m.value;
  }
  return COMPR_NONE;
}

const char* compression_value_to_name(int method) { return find_value(method)->name; }

const char* compression_value_to_suffix(int method) { return find_value(method)->suffix; }
