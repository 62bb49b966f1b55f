#include "host/storage/compression.h"

#include <zstd.h>

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

bool parse_compression_name(const char* text, std::size_t len, Compression_Method& method, std::string& err) {
  for (const Method_Name& m : METHODS) {
    if (text != nullptr && std::strlen(m.name) == len && std::memcmp(m.name, text, len) == 0) {
      method = m.value;
      return true;
    }
  }
  err = "unknown compression method '" + (text ? std::string(text, len) : std::string()) +
        "': expected none, auto, lzop or zstd";
  return false;
}

bool check_compression(int method, int level, std::string& err) {
  if (method < COMPR_NONE || method > COMPR_ZSTD) {
    err = "unknown compression method " + std::to_string(method);
    return false;
  }
  if ((method == COMPR_ZSTD || method == COMPR_AUTO) && (level < 0 || level > ZSTD_maxCLevel())) {
    err = "zstd compression level " + std::to_string(level) + " is out of range: expected 1 to " +
          std::to_string(ZSTD_maxCLevel()) + " (0 for the default)";
    return false;
  }
  return true;
}
