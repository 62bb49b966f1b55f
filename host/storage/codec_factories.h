#ifndef HOST_CODEC_FACTORIES_H
#define HOST_CODEC_FACTORIES_H

#include <memory>

#include "host/storage/storage_codec.h"

// The concrete storage formats behind make_storage_encoder and
// make_storage_decoder; each answers null when its library could not set
// up its state.

// workers: compression threads besides the caller's; below 2 the caller's
// thread compresses alone.
std::unique_ptr<Storage_Encoder> make_zstd_encoder(int level, int workers);
std::unique_ptr<Storage_Decoder> make_zstd_decoder();

// LZO1X blocks in this host's own frame: a magic number, then blocks that
// each carry their sizes, a CRC-32 of the header and an Adler-32 of the
// data, then an end block with the total length, so that corruption and
// truncation are found on read.
std::unique_ptr<Storage_Encoder> make_lzo_encoder();
std::unique_ptr<Storage_Decoder> make_lzo_decoder();

// The magic numbers by which a stored file's format is told.
extern const unsigned char ZSTD_FILE_MAGIC[4];
// The skippable frame that ends every zstd file of this host; an empty
// file starts with it.
extern const unsigned char ZSTD_END_MAGIC[4];
extern const unsigned char LZO_FILE_MAGIC[8];

#endif
