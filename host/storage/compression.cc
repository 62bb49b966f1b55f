#include "host/storage/compression.h"

#include <unistd.h>
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

const char* const ZSTD_WORKERS_OPTION = "zstd_workers";

int default_zstd_workers() {
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  return cores > 1 ? static_cast<int>(cores) : 1;
}

bool parse_zstd_workers(const std::string& text, int& workers, std::string& err) {
  const int most = ZSTD_cParam_getBounds(ZSTD_c_nbWorkers).upperBound;
  long value = 0;
  bool ok = !text.empty() && text.size() <= 6;
  for (char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + (c - '0');
  }
  if (!ok || value > most) {
    err = "zstd workers '" + text + "' must be a number from 0 to " + std::to_string(most);
    return false;
  }
  workers = static_cast<int>(value);
  return true;
}
