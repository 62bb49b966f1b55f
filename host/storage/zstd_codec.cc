#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "host/storage/codec_factories.h"

const unsigned char ZSTD_FILE_MAGIC[4] = {0x28, 0xb5, 0x2f, 0xfd};
const unsigned char ZSTD_END_MAGIC[4] = {0x5e, 0x2a, 0x4d, 0x18};  // skippable frame 0x184D2A5E

// Stored form: standard zstd frames (so the zstd tool reads the file), each
// holding at most FRAME_INPUT input bytes (FRAME_INPUT_PARALLEL with worker
// threads) with a content checksum, then one skippable frame that carries
// the total length. The reader hands out a frame's bytes only once its
// checksum has been verified, and a file that stops before the end frame is
// reported as truncated.
namespace {

const std::size_t FRAME_INPUT = 1024 * 1024;
// With worker threads a frame is cut into jobs of JOB_INPUT bytes that are
// compressed at once; ending a frame waits for all of its jobs, so a frame
// holds several jobs per worker to keep the workers busy between those
// waits. The reader holds one frame's bytes until its checksum is proved.
const std::size_t JOB_INPUT = 512 * 1024;
const std::size_t FRAME_INPUT_PARALLEL = 4 * 1024 * 1024;
const unsigned char END_TAG[4] = {'O', 'S', 'Z', 'E'};
const std::size_t END_CONTENT = 12;
const std::size_t END_SIZE = 8 + END_CONTENT;

void put_le(unsigned char* p, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get_le(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

class Zstd_Encoder : public Storage_Encoder {
 public:
  Zstd_Encoder(ZSTD_CCtx* ctx, std::size_t frame_input) : ctx_(ctx), frame_input_(frame_input) {}
  ~Zstd_Encoder() override { ZSTD_freeCCtx(ctx_); }

  bool encode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    while (len) {
      const std::size_t n = std::min(len, frame_input_ - frame_in_);
      ZSTD_inBuffer in = {data, n, 0};
      while (in.pos < in.size) {
        if (!step(in, ZSTD_e_continue, out, err)) return false;
      }
      data += n;
      len -= n;
      frame_in_ += n;
      total_ += n;
      if (frame_in_ == frame_input_ && !end_frame(out, err)) return false;
    }
    return true;
  }

  bool finish(std::string& out, std::string& err) override {
    if (frame_in_ && !end_frame(out, err)) return false;
    unsigned char end[END_SIZE];
    std::memcpy(end, ZSTD_END_MAGIC, 4);
    put_le(end + 4, END_CONTENT, 4);
    std::memcpy(end + 8, END_TAG, 4);
    put_le(end + 12, total_, 8);
    out.append(reinterpret_cast<const char*>(end), END_SIZE);
    return true;
  }

 private:
  bool end_frame(std::string& out, std::string& err) {
    ZSTD_inBuffer in = {nullptr, 0, 0};
    std::size_t left = 1;
    while (left) {
      if (!step(in, ZSTD_e_end, out, err, &left)) return false;
    }
    frame_in_ = 0;
    return true;
  }

  bool step(ZSTD_inBuffer& in, ZSTD_EndDirective mode, std::string& out, std::string& err,
            std::size_t* left = nullptr) {
    // Compressed into a scratch buffer and appended: growing `out` by the
    // whole output room on every small input would clear that room each time.
    if (!scratch_) {
      err = "zstd compression failed: out of memory";
      return false;
    }
    ZSTD_outBuffer o = {scratch_.get(), scratch_size_, 0};
    const std::size_t rc = ZSTD_compressStream2(ctx_, &o, &in, mode);
    out.append(scratch_.get(), o.pos);
    if (ZSTD_isError(rc)) {
      err = std::string("zstd compression failed: ") + ZSTD_getErrorName(rc);
      return false;
    }
    if (left) *left = rc;
    return true;
  }

  ZSTD_CCtx* ctx_;
  const std::size_t frame_input_;
  const std::size_t scratch_size_ = ZSTD_CStreamOutSize();
  std::unique_ptr<char[]> scratch_{new (std::nothrow) char[scratch_size_]};
  std::size_t frame_in_ = 0;
  std::uint64_t total_ = 0;
};

class Zstd_Decoder : public Storage_Decoder {
 public:
  explicit Zstd_Decoder(ZSTD_DCtx* ctx) : ctx_(ctx) {}
  ~Zstd_Decoder() override { ZSTD_freeDCtx(ctx_); }

  bool decode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    if (!failure_.empty()) {
      err = failure_;
      return false;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    if (!carry_.empty()) {
      carry_.append(data, len);
      work_.swap(carry_);
      carry_.clear();
      p = reinterpret_cast<const unsigned char*>(work_.data());
      len = work_.size();
    }
    const bool ok = consume(p, len, out);
    work_.clear();
    if (!ok) err = failure_;
    return ok;
  }

  bool finish(std::string& err) override {
    if (!failure_.empty()) {
      err = failure_;
      return false;
    }
    if (!ended_) {
      err = "truncated zstd data: the file ends before its end frame";
      return false;
    }
    return true;
  }

 private:
  bool consume(const unsigned char* p, std::size_t n, std::string& out) {
    while (n) {
      if (ended_) return fail("corrupt zstd data: bytes after the end frame");
      if (at_boundary_) {
        if (n < 4 || (std::memcmp(p, ZSTD_END_MAGIC, 4) == 0 && n < END_SIZE)) {
          carry_.assign(reinterpret_cast<const char*>(p), n);
          return true;
        }
        if (std::memcmp(p, ZSTD_END_MAGIC, 4) == 0) {
          if (get_le(p + 4, 4) != END_CONTENT || std::memcmp(p + 8, END_TAG, 4) != 0)
            return fail("corrupt zstd data: bad end frame");
          if (get_le(p + 12, 8) != total_) return fail("corrupt zstd data: length does not match the end frame");
          ended_ = true;
          p += END_SIZE;
          n -= END_SIZE;
          continue;
        }
        at_boundary_ = false;
      }
      ZSTD_inBuffer in = {p, n, 0};
      const std::size_t room = ZSTD_DStreamOutSize();
      const std::size_t old = frame_.size();
      frame_.resize(old + room);
      ZSTD_outBuffer o = {&frame_[old], room, 0};
      const std::size_t rc = ZSTD_decompressStream(ctx_, &o, &in);
      frame_.resize(old + o.pos);
      if (ZSTD_isError(rc)) return fail(std::string("corrupt zstd data: ") + ZSTD_getErrorName(rc));
      p += in.pos;
      n -= in.pos;
      if (rc == 0) {
        out.append(frame_);
        total_ += frame_.size();
        frame_.clear();
        at_boundary_ = true;
      }
    }
    return true;
  }

  bool fail(const std::string& why) {
    failure_ = why;
    frame_.clear();
    return false;
  }

  ZSTD_DCtx* ctx_;
  std::string frame_;  // decoded bytes of the frame whose checksum is still unverified
  std::string carry_;  // stored bytes held back at a frame boundary
  std::string work_;
  std::uint64_t total_ = 0;
  bool at_boundary_ = true;
  bool ended_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<Storage_Encoder> make_zstd_encoder(int level, int workers) {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  if (!ctx) return nullptr;
  if (level <= 0) level = 1;
  if (level > ZSTD_maxCLevel()) level = ZSTD_maxCLevel();
  if (ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_checksumFlag, 1))) {
    ZSTD_freeCCtx(ctx);
    return nullptr;
  }
  // One worker would only move the work to another thread: below two the
  // caller's thread compresses. A library built without threads refuses
  // the parameter; such an encoder is not made, rather than one that is
  // silently slower than asked.
  std::size_t frame_input = FRAME_INPUT;
  if (workers >= 2) {
    if (ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_nbWorkers, workers)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx, ZSTD_c_jobSize, static_cast<int>(JOB_INPUT)))) {
      ZSTD_freeCCtx(ctx);
      return nullptr;
    }
    frame_input = FRAME_INPUT_PARALLEL;
  }
  std::unique_ptr<Storage_Encoder> enc(new (std::nothrow) Zstd_Encoder(ctx, frame_input));
  if (!enc) ZSTD_freeCCtx(ctx);
  return enc;
}

std::unique_ptr<Storage_Decoder> make_zstd_decoder() {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  if (!ctx) return nullptr;
  std::unique_ptr<Storage_Decoder> dec(new (std::nothrow) Zstd_Decoder(ctx));
  if (!dec) ZSTD_freeDCtx(ctx);
  return dec;
}
