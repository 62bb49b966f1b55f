#ifndef HOST_STORAGE_CODEC_H
#define HOST_STORAGE_CODEC_H

#include <cstddef>
#include <memory>
#include <string>

#include "host/storage/compression.h"

// The byte formats of storage files. An encoder turns what a caller writes
// into the stored form, a decoder turns the stored form back and proves it
// complete and intact. Neither is thread-safe; each belongs to one open
// storage file.

class Storage_Encoder {
 public:
  virtual ~Storage_Encoder() {}
  // Appends the stored form of data[0, len) to out (possibly nothing while
  // the encoder gathers input). On false, err says why and the encoder is
  // unusable.
  virtual bool encode(const char* data, std::size_t len, std::string& out, std::string& err) = 0;
  // Appends whatever ends the stored form (pending blocks, trailers) to out.
  // Called once, after the last encode.
  virtual bool finish(std::string& out, std::string& err) = 0;
};

class Storage_Decoder {
 public:
  virtual ~Storage_Decoder() {}
  // Consumes stored bytes in[0, len) and appends the decoded bytes to out.
  // On false, err says what is wrong with the stored data; nothing decoded
  // from the bad part is appended.
  virtual bool decode(const char* in, std::size_t len, std::string& out, std::string& err) = 0;
  // Called at the end of the stored bytes: false (with err) when the stored
  // form stopped before it was complete.
  virtual bool finish(std::string& err) = 0;
};

// The encoder of a method (COMPR_AUTO writes zstd). level applies to zstd
// (1 to 22; 0 or less means 1) and is ignored by the others; so is workers,
// the zstd compression threads (0 or 1: the caller's thread compresses).
// Null when the method is unknown or the library could not set up its
// state (also when it cannot run the workers asked for).
std::unique_ptr<Storage_Encoder> make_storage_encoder(int method, int level, int workers);

// The method a stored file was written with, told by its first bytes:
// COMPR_ZSTD or COMPR_LZOP by their magic numbers, COMPR_NONE otherwise.
// head may be shorter than the magic numbers (a short file is COMPR_NONE).
int detect_storage_method(const char* head, std::size_t len);

// The decoder of a method as stored (COMPR_NONE, COMPR_ZSTD or COMPR_LZOP).
// Null for any other value or when the library could not set up its state.
std::unique_ptr<Storage_Decoder> make_storage_decoder(int method);

#endif
