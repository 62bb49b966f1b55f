#include "host/storage/storage_codec.h"

#include <cstring>
#include <new>

#include "host/storage/codec_factories.h"

namespace {

// Stored as written. Such a file carries no checksum: only a read error of
// the file system can be reported for it.
class Raw_Encoder : public Storage_Encoder {
 public:
  bool encode(const char* data, std::size_t len, std::string& out, std::string&) override {
    out.append(data, len);
    return true;
  }
  bool finish(std::string&, std::string&) override { return true; }
};

class Raw_Decoder : public Storage_Decoder {
 public:
  bool decode(const char* in, std::size_t len, std::string& out, std::string&) override {
    out.append(in, len);
    return true;
  }
  bool finish(std::string&) override { return true; }
};

bool starts_with(const char* head, std::size_t len, const unsigned char* magic, std::size_t n) {
  return len >= n && std::memcmp(head, magic, n) == 0;
}

}  // namespace

std::unique_ptr<Storage_Encoder> make_storage_encoder(int method, int level, int workers) {
  switch (method) {
    case COMPR_NONE: return std::unique_ptr<Storage_Encoder>(new (std::nothrow) Raw_Encoder);
    case COMPR_AUTO:
    case COMPR_ZSTD: return make_zstd_encoder(level, workers);
    case COMPR_LZOP: return make_lzo_encoder();
    default: return nullptr;
  }
}

int detect_storage_method(const char* head, std::size_t len) {
  if (starts_with(head, len, ZSTD_FILE_MAGIC, sizeof ZSTD_FILE_MAGIC) ||
      starts_with(head, len, ZSTD_END_MAGIC, sizeof ZSTD_END_MAGIC))
    return COMPR_ZSTD;
  if (starts_with(head, len, LZO_FILE_MAGIC, sizeof LZO_FILE_MAGIC)) return COMPR_LZOP;
  return COMPR_NONE;
}

std::unique_ptr<Storage_Decoder> make_storage_decoder(int method) {
  switch (method) {
    case COMPR_NONE: return std::unique_ptr<Storage_Decoder>(new (std::nothrow) Raw_Decoder);
    case COMPR_ZSTD: return make_zstd_decoder();
    case COMPR_LZOP: return make_lzo_decoder();
    default: return nullptr;
  }
}
