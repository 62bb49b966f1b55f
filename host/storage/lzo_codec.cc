#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "host/storage/codec_factories.h"

const unsigned char LZO_FILE_MAGIC[8] = {0x89, 'O', 'S', 'L', 'Z', 'O', '\r', '\n'};

// Frame layout (all numbers big-endian):
//   magic (8 bytes)
//   blocks: ulen u32, clen u32, data sum u32 (Adler-32 of the uncompressed
//           bytes, as lzop uses), header crc u32 (CRC-32 of the three
//           numbers before it),
//           then clen payload bytes; clen == ulen means stored uncompressed.
//           1 <= ulen <= BLOCK_SIZE, 1 <= clen <= ulen.
//   end:    0 u32, 0 u32, total uncompressed length u64, crc u32 of the
//           16 bytes before it. Nothing may follow.
namespace {

const std::size_t BLOCK_SIZE = 256 * 1024;
const std::size_t BLOCK_HEAD = 16;
const std::size_t END_SIZE = 20;

bool lzo_ready() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = lzo_init() == LZO_E_OK; });
  return ok;
}

std::uint32_t adler32_of(const void* p, std::size_t n) {
  return lzo_adler32(1, static_cast<const unsigned char*>(p), static_cast<lzo_uint>(n));
}

std::uint32_t crc32_of(const void* p, std::size_t n) {
  return lzo_crc32(0, static_cast<const unsigned char*>(p), static_cast<lzo_uint>(n));
}

void put32(unsigned char* p, std::uint32_t v) {
  p[0] = v >> 24;
  p[1] = v >> 16;
  p[2] = v >> 8;
  p[3] = v;
}

std::uint32_t get32(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

class Lzo_Encoder : public Storage_Encoder {
 public:
  Lzo_Encoder() : work_(LZO1X_1_MEM_COMPRESS), packed_(BLOCK_SIZE + BLOCK_SIZE / 16 + 64 + 3) {
    block_.reserve(BLOCK_SIZE);
  }

  bool encode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    if (!started_) {
      out.append(reinterpret_cast<const char*>(LZO_FILE_MAGIC), sizeof LZO_FILE_MAGIC);
      started_ = true;
    }
    while (len) {
      const std::size_t n = std::min(len, BLOCK_SIZE - block_.size());
      block_.append(data, n);
      data += n;
      len -= n;
      if (block_.size() == BLOCK_SIZE && !flush(out, err)) return false;
    }
    return true;
  }

  bool finish(std::string& out, std::string& err) override {
    if (!started_) encode(nullptr, 0, out, err);
    if (!block_.empty() && !flush(out, err)) return false;
    unsigned char end[END_SIZE] = {0};
    put32(end + 8, std::uint32_t(total_ >> 32));
    put32(end + 12, std::uint32_t(total_));
    put32(end + 16, crc32_of(end, 16));
    out.append(reinterpret_cast<const char*>(end), sizeof end);
    return true;
  }

 private:
  bool flush(std::string& out, std::string& err) {
    lzo_uint clen = packed_.size();
    const auto* src = reinterpret_cast<const unsigned char*>(block_.data());
    if (lzo1x_1_compress(src, block_.size(), packed_.data(), &clen, work_.data()) != LZO_E_OK) {
      err = "lzo compression failed";
      return false;
    }
    const bool stored = clen >= block_.size();
    if (stored) clen = block_.size();
    unsigned char head[BLOCK_HEAD];
    put32(head, std::uint32_t(block_.size()));
    put32(head + 4, std::uint32_t(clen));
    put32(head + 8, adler32_of(src, block_.size()));
    put32(head + 12, crc32_of(head, 12));
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    if (stored) {
      out.append(block_);
    } else {
      out.append(reinterpret_cast<const char*>(packed_.data()), clen);
    }
    total_ += block_.size();
    block_.clear();
    return true;
  }

  std::vector<unsigned char> work_;
  std::vector<unsigned char> packed_;
  std::string block_;
  std::uint64_t total_ = 0;
  bool started_ = false;
};

class Lzo_Decoder : public Storage_Decoder {
 public:
  bool decode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    if (failed_) {
      err = failure_;
      return false;
    }
    pending_.append(data, len);
    while (step(out)) {
    }
    if (failed_) err = failure_;
    return !failed_;
  }

  bool finish(std::string& err) override {
    if (failed_) {
      err = failure_;
      return false;
    }
    if (!ended_) {
      err = "truncated lzo data: the file ends before its end block";
      return false;
    }
    return true;
  }

 private:
  // Decodes one unit (magic, block or end) from the pending bytes; false
  // when more bytes are needed or a failure was recorded.
  bool step(std::string& out) {
    const std::size_t avail = pending_.size() - pos_;
    const auto* p = reinterpret_cast<const unsigned char*>(pending_.data()) + pos_;
    if (ended_) {
      if (avail) return fail("corrupt lzo data: bytes after the end block");
      return false;
    }
    if (!magic_seen_) {
      if (avail < sizeof LZO_FILE_MAGIC) return false;
      if (std::memcmp(p, LZO_FILE_MAGIC, sizeof LZO_FILE_MAGIC) != 0) return fail("corrupt lzo data: bad magic number");
      magic_seen_ = true;
      return consume(sizeof LZO_FILE_MAGIC);
    }
    if (avail < 8) return false;
    const std::uint32_t ulen = get32(p);
    const std::uint32_t clen = get32(p + 4);
    if (ulen == 0 && clen == 0) {
      if (avail < END_SIZE) return false;
      if (get32(p + 16) != crc32_of(p, 16)) return fail("corrupt lzo data: bad end block checksum");
      const std::uint64_t total = (std::uint64_t(get32(p + 8)) << 32) | get32(p + 12);
      if (total != total_) return fail("corrupt lzo data: length does not match the end block");
      ended_ = true;
      return consume(END_SIZE);
    }
    if (avail < BLOCK_HEAD) return false;
    if (get32(p + 12) != crc32_of(p, 12)) return fail("corrupt lzo data: bad block header checksum");
    if (ulen == 0 || ulen > BLOCK_SIZE || clen == 0 || clen > ulen)
      return fail("corrupt lzo data: impossible block sizes");
    if (avail < BLOCK_HEAD + clen) return false;
    const unsigned char* payload = p + BLOCK_HEAD;
    const std::size_t old = out.size();
    if (clen == ulen) {
      out.append(reinterpret_cast<const char*>(payload), ulen);
    } else {
      out.resize(old + ulen);
      lzo_uint got = ulen;
      const int rc = lzo1x_decompress_safe(payload, clen, reinterpret_cast<unsigned char*>(&out[old]), &got, nullptr);
      if (rc != LZO_E_OK || got != ulen) {
        out.resize(old);
        return fail("corrupt lzo data: a block does not decompress");
      }
    }
    if (adler32_of(out.data() + old, ulen) != get32(p + 8)) {
      out.resize(old);
      return fail("corrupt lzo data: block checksum mismatch");
    }
    total_ += ulen;
    return consume(BLOCK_HEAD + clen);
  }

  bool consume(std::size_t n) {
    pos_ += n;
    if (pos_ == pending_.size()) {
      pending_.clear();
      pos_ = 0;
    } else if (pos_ > BLOCK_SIZE) {
      pending_.erase(0, pos_);
      pos_ = 0;
    }
    return true;
  }

  bool fail(const char* why) {
    failed_ = true;
    failure_ = why;
    return false;
  }

  std::string pending_;
  std::size_t pos_ = 0;
  std::uint64_t total_ = 0;
  bool magic_seen_ = false;
  bool ended_ = false;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<Storage_Encoder> make_lzo_encoder() {
  if (!lzo_ready()) return nullptr;
  return std::unique_ptr<Storage_Encoder>(new (std::nothrow) Lzo_Encoder);
}

std::unique_ptr<Storage_Decoder> make_lzo_decoder() {
  if (!lzo_ready()) return nullptr;
  return std::unique_ptr<Storage_Decoder>(new (std::nothrow) Lzo_Decoder);
}
