#ifndef HOST_COMPRESSION_H
#define HOST_COMPRESSION_H

#include <cstddef>

// Storage compression methods, by their stored values.
enum Compression_Method {
  COMPR_NONE = 0,
  COMPR_AUTO = 1,
  COMPR_LZOP = 2,
  COMPR_ZSTD = 3,
};

// The method named by text[0, len): "none", "auto", "lzop" or "zstd"
// (case-sensitive). An unknown or empty name gives COMPR_NONE.
Compression_Method compression_name_to_value(const char* text, std::size_t len);

// The name of a method ("none", "auto", "lzop", "zstd"); an unknown value
// gives "none".
const char* compression_value_to_name(int method);

// The file-name suffix of a method: "" for none, ".zst" for zstd and auto,
// ".lzo" for lzop.
const char* compression_value_to_suffix(int method);

#endif
