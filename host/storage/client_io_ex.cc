#include "host/storage/client_io_ex.h"

#include <xxhash.h>

#include <cerrno>
#include <cstring>

#include "host/storage/background_writer.h"
#include "host/storage/storage_cipher.h"
#include "host/storage/storage_codec.h"
#include "host/storage/storage_driver.h"

namespace {

const std::size_t MAX_FLUSH = 1024 * 1024;
const std::size_t READ_CHUNK = 256 * 1024;
// Blocks in existence while writing: one being filled, one being stored,
// one waiting, so that neither side waits for the other in the steady state.
const std::size_t WRITE_BUFFERS = 3;
// Room for a block and the encoder's output of one more write.
const std::size_t BLOCK_CAPACITY = MAX_FLUSH + 2 * READ_CHUNK;

bool valid_name(const char* name) { return name && *name && *name != '.' && std::strchr(name, '/') == nullptr; }

const char* method_name(int method) {
  switch (method) {
    case COMPR_ZSTD: return "zstd";
    case COMPR_LZOP: return "lzop";
    default: return "uncompressed";
  }
}

std::string hex_digest(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * sizeof canonical.digest);
  for (unsigned char b : canonical.digest) {
    text += DIGITS[b >> 4];
    text += DIGITS[b & 15];
  }
  return text;
}

}  // namespace

std::string xxh3_128_hex(const void* data, std::size_t len) { return hex_digest(XXH3_128bits(data, len)); }

Client_IO_Ex::Client_IO_Ex()
    : writer_(new Background_Writer(
          [this](const char* p, std::size_t n, std::string& err) { return store_block(p, n, err); }, WRITE_BUFFERS,
          BLOCK_CAPACITY)) {}

Client_IO_Ex::~Client_IO_Ex() {
  abandon();
  XXH3_freeState(hash_);
}

void Client_IO_Ex::reset_digest() {
  if (!hash_) hash_ = XXH3_createState();
  if (hash_) XXH3_128bits_reset(hash_);
}

bool Client_IO_Ex::fail(const std::string& what) {
  error_ = what;
  return false;
}

bool Client_IO_Ex::fail_driver() { return fail(driver_->error()); }

void Client_IO_Ex::abandon() {
  // The writer may be inside the driver: it ends before the driver drops
  // the file.
  writer_->stop();
  if (driver_) driver_->abort();
  encoder_.reset();
  decoder_.reset();
  stored_.clear();
  decoded_.clear();
  decoded_pos_ = 0;
  raw_.clear();
}

bool Client_IO_Ex::connect(const std::string& url, const Options& options) {
  abandon();
  mode_ = 0;
  connected_ = false;
  close_failed_ = false;
  error_.clear();
  std::string why;
  std::unique_ptr<Storage_Driver> driver = make_storage_driver(url, why);
  if (!driver) return fail(why);
  if (!driver->connect(url, options)) return fail(driver->error());
  if (!check_compression(options.compression_method, options.compression_level, why)) return fail(why);
  if (!parse_storage_cipher(options.cipher, options.key, key_, why)) return fail(why);
  zstd_workers_ = default_zstd_workers();
  const auto workers = options.extra_options.find(ZSTD_WORKERS_OPTION);
  if (workers != options.extra_options.end() && !parse_zstd_workers(workers->second, zstd_workers_, why))
    return fail(why);
  driver_ = std::move(driver);
  options_ = options;
  limiter_ = Rate_Limiter(Rate_Limiter::effective_rate(options_.rate_control_entries));
  connected_ = true;
  return true;
}

bool Client_IO_Ex::open(const char* name, int mode, int, int) {
  error_.clear();
  if (!connected_) return fail("storage client is not connected");
  if (mode_ != 0) return fail("storage client has a file open already: " + path_);
  if (!valid_name(name)) return fail(std::string("invalid storage file name '") + (name ? name : "") + "'");
  original_ = 0;
  storage_ = 0;
  digest_.clear();
  broken_ = false;
  close_failed_ = false;
  at_end_ = false;
  path_ = driver_->location(name);
  if (mode == MODE_WRITE) return open_write(name);
  if (mode == MODE_READ) return open_read(name);
  return fail("invalid open mode " + std::to_string(mode));
}

int Client_IO_Ex::exists(const char* name) {
  unsigned long long size = 0;
  return stored_size(name, size);
}

int Client_IO_Ex::stored_size(const char* name, unsigned long long& size) {
  if (!connected_) {
    fail("storage client is not connected");
    return -1;
  }
  if (!valid_name(name)) {
    fail(std::string("invalid storage file name '") + (name ? name : "") + "'");
    return -1;
  }
  const int rc = driver_->stored_size(name, size);
  if (rc != 1) fail_driver();
  return rc;
}

bool Client_IO_Ex::remove(const char* name, bool* missing) {
  if (missing) *missing = false;
  if (!connected_) return fail("storage client is not connected");
  if (!valid_name(name)) return fail(std::string("invalid storage file name '") + (name ? name : "") + "'");
  const std::string path = driver_->location(name);
  if (mode_ != 0 && path == path_) return fail("storage file " + path + " is open");
  const int present = driver_->exists(name);
  if (present < 0) return fail_driver();
  if (present == 0) {
    if (missing) *missing = true;
    return true;
  }
  return driver_->remove(name) || fail_driver();
}

bool Client_IO_Ex::removable(const char* name) {
  if (!connected_) return fail("storage client is not connected");
  if (!valid_name(name)) return fail(std::string("invalid storage file name '") + (name ? name : "") + "'");
  const std::string path = driver_->location(name);
  if (mode_ != 0 && path == path_) return fail("storage file " + path + " is open");
  return driver_->removable(name) || fail_driver();
}

bool Client_IO_Ex::list(std::vector<std::string>& names) {
  error_.clear();
  if (!connected_) return fail("storage client is not connected");
  return driver_->list(names) || fail_driver();
}

bool Client_IO_Ex::list_tree(std::vector<Stored_Entry>& out) {
  error_.clear();
  if (!connected_) return fail("storage client is not connected");
  return driver_->list_tree(out) || fail_driver();
}

int Client_IO_Ex::list_uploads(std::vector<Stored_Entry>& out) {
  error_.clear();
  out.clear();
  if (!connected_) {
    fail("storage client is not connected");
    return -1;
  }
  const int rc = driver_->list_uploads(out);
  if (rc != 1) fail_driver();
  return rc;
}

bool Client_IO_Ex::discard(const Stored_Entry& entry) {
  error_.clear();
  if (!connected_) return fail("storage client is not connected");
  if (mode_ != 0) return fail("storage file " + path_ + " is open");
  if (!plain_relative_name(entry.name)) return fail("invalid storage file name '" + entry.name + "'");
  return driver_->discard(entry) || fail_driver();
}

bool Client_IO_Ex::open_write(const std::string& name) {
  if (!driver_->open_write(name, options_.overwrite)) return fail_driver();
  encoder_ = make_storage_encoder(options_.compression_method, options_.compression_level, zstd_workers_);
  if (encoder_ && key_) encoder_ = make_cipher_encoder(std::move(encoder_), *key_, name);
  reset_digest();
  if (!encoder_ || !hash_) {
    abandon();
    return fail("cannot set up " + std::string(key_ ? "encryption" : "compression") + " for " + path_);
  }
  flush_size_ = limiter_.chunk_size(MAX_FLUSH);
  stored_.reserve(BLOCK_CAPACITY);
  mode_ = MODE_WRITE;
  return true;
}

bool Client_IO_Ex::open_read(const std::string& name) {
  if (!driver_->open_read(name)) return fail_driver();
  // Read the first bytes ahead to tell the stored format.
  char head[8];
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = driver_->read(head + got, sizeof head - got);
    if (n < 0) {
      fail_driver();
      abandon();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  raw_.assign(head, got);
  storage_ = got;
  decoder_ = reading_decoder(name, head, got, options_.compression_method);
  if (!decoder_) {
    const std::string why = error_.empty() ? "cannot set up decompression for " + path_ + " (" + name + ")" : error_;
    abandon();
    return fail(why);
  }
  mode_ = MODE_READ;
  return true;
}

std::unique_ptr<Storage_Decoder> Client_IO_Ex::reading_decoder(const std::string& name, const char* head,
                                                               std::size_t len, int method) {
  const std::string path = driver_->location(name);
  const bool encrypted = is_encrypted_storage(head, len);
  if (key_ && !encrypted) {
    fail("storage file " + path + " is not encrypted, but its pool is");
    return nullptr;
  }
  if (!key_ && encrypted) {
    fail("storage file " + path + " is encrypted, but its pool has no cipher key");
    return nullptr;
  }
  // An encrypted file's method is told by its decrypted bytes.
  if (key_) return make_cipher_decoder(*key_, name, method);
  const int found = detect_storage_method(head, len);
  if (method == COMPR_AUTO) return make_storage_decoder(found);
  if (method != COMPR_NONE && found != method) {
    fail("storage file " + path + " is not " + method_name(method) + " data");
    return nullptr;
  }
  return make_storage_decoder(method);
}

// Runs on the writer's thread, or on the caller's once the writer is idle.
bool Client_IO_Ex::store_block(const char* p, std::size_t n, std::string& err) {
  if (!driver_->write(p, n)) {
    err = driver_->error();
    return false;
  }
  XXH3_128bits_update(hash_, p, n);
  return true;
}

// Hands a full block to the writer; with all, waits for the writer and
// stores what is left on this thread (a file smaller than one block never
// starts the writer's thread).
bool Client_IO_Ex::flush_stored(bool all) {
  if (!all && stored_.size() < flush_size_) return true;
  const std::size_t n = stored_.size();
  bool ok = true;
  std::string err;
  if (!all) {
    ok = writer_->hand_over(stored_);
    err = writer_->error();
  } else if (!writer_->drain()) {
    ok = false;
    err = writer_->error();
  } else if (n != 0) {
    ok = store_block(stored_.data(), n, err);
    stored_.clear();
  }
  if (!ok) {
    abandon();
    broken_ = true;
    return fail(err);
  }
  storage_ += n;
  limiter_.account(n);
  return true;
}

ssize_t Client_IO_Ex::write(const char* buf, std::size_t len) {
  if (mode_ != MODE_WRITE) {
    fail("no storage file is open for writing");
    return -1;
  }
  if (broken_) return -1;
  std::string err;
  if (!encoder_->encode(buf, len, stored_, err)) {
    abandon();
    broken_ = true;
    fail("cannot write storage file " + path_ + ": " + err);
    return -1;
  }
  original_ += len;
  if (!flush_stored(false)) return -1;
  return static_cast<ssize_t>(len);
}

bool Client_IO_Ex::close() {
  if (mode_ == 0) return !close_failed_;
  const int mode = mode_;
  mode_ = 0;
  if (mode == MODE_READ) {
    abandon();
    return true;
  }
  close_failed_ = !close_write();
  return !close_failed_;
}

bool Client_IO_Ex::close_write() {
  if (broken_) {
    abandon();
    return false;
  }
  std::string err;
  if (!encoder_->finish(stored_, err)) {
    abandon();
    return fail("cannot complete storage file " + path_ + ": " + err);
  }
  if (!flush_stored(true)) return false;
  if (!driver_->close()) {
    fail_driver();
    abandon();
    return false;
  }
  abandon();
  digest_ = hex_digest(XXH3_128bits_digest(hash_));
  return true;
}

bool Client_IO_Ex::fill() {
  decoded_.clear();
  decoded_pos_ = 0;
  std::string err;
  if (!raw_.empty()) {
    const bool ok = decoder_->decode(raw_.data(), raw_.size(), decoded_, err);
    raw_.clear();
    if (!ok) return fail("cannot read storage file " + path_ + ": " + err);
  }
  const std::size_t chunk = limiter_.chunk_size(READ_CHUNK);
  while (decoded_.empty() && !at_end_) {
    raw_.resize(chunk);
    const ssize_t n = driver_->read(&raw_[0], chunk);
    if (n < 0) {
      raw_.clear();
      return fail_driver();
    }
    raw_.resize(static_cast<std::size_t>(n));
    if (n == 0) {
      at_end_ = true;
      if (!decoder_->finish(err)) return fail("cannot read storage file " + path_ + ": " + err);
      break;
    }
    storage_ += static_cast<unsigned long long>(n);
    limiter_.account(static_cast<std::size_t>(n));
    const bool ok = decoder_->decode(raw_.data(), raw_.size(), decoded_, err);
    raw_.clear();
    if (!ok) return fail("cannot read storage file " + path_ + ": " + err);
  }
  return true;
}

ssize_t Client_IO_Ex::read(char* buf, std::size_t len) {
  if (mode_ != MODE_READ) {
    fail("no storage file is open for reading");
    return -1;
  }
  if (broken_) return -1;
  std::size_t copied = 0;
  while (copied < len) {
    if (decoded_pos_ < decoded_.size()) {
      const std::size_t n = std::min(len - copied, decoded_.size() - decoded_pos_);
      std::memcpy(buf + copied, decoded_.data() + decoded_pos_, n);
      decoded_pos_ += n;
      copied += n;
      continue;
    }
    if (at_end_) break;
    if (!fill()) {
      broken_ = true;
      return -1;
    }
  }
  original_ += copied;
  return static_cast<ssize_t>(copied);
}

bool Client_IO_Ex::verify(const char* name, unsigned long long recorded_size, const std::string& recorded_digest) {
  error_.clear();
  if (!connected_) return fail("storage client is not connected");
  if (mode_ != 0) return fail("storage client has a file open already: " + path_);
  if (!valid_name(name)) return fail(std::string("invalid storage file name '") + (name ? name : "") + "'");
  const std::string path = driver_->location(name);
  if (!driver_->open_read(name)) return fail_driver();
  struct Closer {
    Storage_Driver* driver;
    ~Closer() { driver->close(); }
  } closer{driver_.get()};
  std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> hash(XXH3_createState(), XXH3_freeState);
  if (!hash) return fail("cannot verify storage file " + path + ": out of memory");
  XXH3_128bits_reset(hash.get());
  // The first bytes tell the stored format. Every byte goes through its
  // decoder, so a file whose frames are damaged fails even without a
  // recorded digest; the whole file is still read, so that a size or digest
  // fault is the one reported when there is one.
  std::unique_ptr<Storage_Decoder> decoder;
  std::string raw, pending, decoded, err, damage;
  unsigned long long size = 0;
  const std::size_t chunk = limiter_.chunk_size(READ_CHUNK);
  for (;;) {
    raw.resize(chunk);
    const ssize_t n = driver_->read(&raw[0], chunk);
    if (n < 0) return fail_driver();
    raw.resize(static_cast<std::size_t>(n));
    size += static_cast<unsigned long long>(n);
    limiter_.account(static_cast<std::size_t>(n));
    XXH3_128bits_update(hash.get(), raw.data(), raw.size());
    pending.append(raw);
    if (!decoder) {
      if (n > 0 && pending.size() < ENCRYPTED_MAGIC_SIZE) continue;
      decoder = reading_decoder(name, pending.data(), pending.size(), COMPR_AUTO);
      if (!decoder) return error_.empty() ? fail("cannot set up decompression for " + path) : false;
    }
    if (damage.empty() && !pending.empty()) {
      decoded.clear();
      if (!decoder->decode(pending.data(), pending.size(), decoded, err)) damage = err;
    }
    pending.clear();
    if (n == 0) break;
  }
  if (size != recorded_size)
    return fail("storage file " + path + ": size " + std::to_string(size) + ", recorded " +
                std::to_string(recorded_size));
  const std::string digest = hex_digest(XXH3_128bits_digest(hash.get()));
  if (!recorded_digest.empty() && digest != recorded_digest)
    return fail("storage file " + path + ": digest mismatch: stored " + digest + ", recorded " + recorded_digest);
  if (damage.empty() && !decoder->finish(err)) damage = err;
  if (!damage.empty()) return fail("storage file " + path + " is damaged: " + damage);
  return true;
}
