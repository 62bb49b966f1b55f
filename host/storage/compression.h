#ifndef HOST_COMPRESSION_H
#define HOST_COMPRESSION_H

#include <cstddef>
#include <string>

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

// The method named by text[0, len), strictly: true with method set for
// "none", "auto", "lzop" or "zstd"; false with err ("unknown compression
// method 'X': expected none, auto, lzop or zstd") for anything else,
// including the empty name and other letter cases.
bool parse_compression_name(const char* text, std::size_t len, Compression_Method& method, std::string& err);

// Whether a method and level may be used to store a file: the method must
// be one of Compression_Method, and for zstd and auto (which writes zstd)
// the level must be 0 (the default, level 1) to the library's highest
// level (22). The level is not checked for the other methods, which have
// none. False with err saying which value is wrong.
bool check_compression(int method, int level, std::string& err);

// The extra storage option (Client_IO_Base::Options::extra_options) that
// sets how many threads compress a zstd file: "0" or "1" for the writer's
// own thread alone, up to the library's limit. A pool carries it among its
// extra attributes.
extern const char* const ZSTD_WORKERS_OPTION;

// The zstd threads of a written file when no option sets them: one per
// online core.
int default_zstd_workers();

// A zstd thread count as text: decimal digits only, 0 to the library's
// limit. False with err ("zstd workers 'X' ...") otherwise.
bool parse_zstd_workers(const std::string& text, int& workers, std::string& err);

// The name of a method ("none", "auto", "lzop", "zstd"); an unknown value
// gives "none".
const char* compression_value_to_name(int method);

// The file-name suffix of a method: "" for none, ".zst" for zstd and auto,
// ".lzo" for lzop.
const char* compression_value_to_suffix(int method);

#endif
