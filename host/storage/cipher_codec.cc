#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "host/storage/storage_cipher.h"

const char* const STORAGE_CIPHER_AES_256_GCM = "aes-256-gcm";

namespace {

const unsigned char MAGIC[ENCRYPTED_MAGIC_SIZE] = {0x89, 'O', 'S', 'C', 'E', 'N', 'C', '\n'};
// Version 1 files have a key of the pool's key and the salt only; version 2
// files, the ones written now, bind their name too.
const unsigned char VERSION_UNBOUND = 1;
const unsigned char VERSION = 2;
const unsigned char CIPHER_AES_256_GCM = 1;
const std::size_t SALT_SIZE = 32;
const std::size_t CHECK_SIZE = 16;
const std::size_t HEADER_SIZE = ENCRYPTED_MAGIC_SIZE + 4 + SALT_SIZE + CHECK_SIZE;
const std::size_t SALT_AT = ENCRYPTED_MAGIC_SIZE + 4;
const std::size_t CHECK_AT = SALT_AT + SALT_SIZE;
const std::size_t KEY_SIZE = 32;
const std::size_t TAG_SIZE = 16;
const std::size_t NONCE_SIZE = 12;
const std::size_t WORD_SIZE = 4;
// Plaintext bytes of every chunk but the last; the reader refuses longer
// chunks, so a damaged length word cannot make it gather without bound.
const std::size_t CHUNK_SIZE = 1024 * 1024;
const std::uint32_t LAST_FLAG = 0x80000000u;
const char KDF_INFO_V1[] = "oscar storage aes-256-gcm v1";
const char KDF_INFO_V2_CHECK[] = "oscar storage aes-256-gcm v2 key check";
// Followed by its terminating zero and the file's name.
const char KDF_INFO_V2_KEY[] = "oscar storage aes-256-gcm v2 file key";

void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t get_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// HKDF-SHA256 of the pool's key and a file's salt, for info, into out.
bool hkdf(const Storage_Key& key, const unsigned char* salt, const std::string& info, unsigned char* out,
          std::size_t len) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (!kdf) return false;
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(key.bytes), KEY_SIZE),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), SALT_SIZE),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
      OSSL_PARAM_construct_end()};
  const bool ok = EVP_KDF_derive(ctx, out, len, params) == 1;
  EVP_KDF_CTX_free(ctx);
  return ok;
}

// The file's key and its key check, from the pool's key, the file's salt
// and, from version 2 on, the file's name. The key check never depends on
// the name, so that a wrong pool key is told from a file stored under
// another name than its own (which fails its first chunk instead).
bool derive_file_key(const Storage_Key& key, unsigned char version, const unsigned char* salt, const std::string& name,
                     unsigned char* file_key, unsigned char* check) {
  unsigned char derived[KEY_SIZE + CHECK_SIZE];
  bool ok;
  if (version == VERSION_UNBOUND) {
    ok = hkdf(key, salt, KDF_INFO_V1, derived, sizeof derived);
  } else {
    ok = hkdf(key, salt, KDF_INFO_V2_CHECK, derived + KEY_SIZE, CHECK_SIZE) &&
         hkdf(key, salt, std::string(KDF_INFO_V2_KEY, sizeof KDF_INFO_V2_KEY) + name, derived, KEY_SIZE);
  }
  if (ok) {
    std::memcpy(file_key, derived, KEY_SIZE);
    std::memcpy(check, derived + KEY_SIZE, CHECK_SIZE);
  }
  OPENSSL_cleanse(derived, sizeof derived);
  return ok;
}

// The GCM state of one file: its key set once, a nonce and associated data
// per chunk.
class Chunk_Sealer {
 public:
  ~Chunk_Sealer() {
    EVP_CIPHER_CTX_free(ctx_);
    OPENSSL_cleanse(file_key_, sizeof file_key_);
  }

  // Derives the file's key from the pool's key, the header's salt and
  // version and the file's name, and keeps the header as associated data.
  // check gets the key check.
  bool init(const Storage_Key& key, const unsigned char* header, const std::string& name, bool encrypt,
            unsigned char* check) {
    if (!derive_file_key(key, header[ENCRYPTED_MAGIC_SIZE], header + SALT_AT, name, file_key_, check)) return false;
    std::memcpy(aad_, header, HEADER_SIZE);
    encrypt_ = encrypt;
    ctx_ = EVP_CIPHER_CTX_new();
    if (!ctx_) return false;
    const int ok = encrypt ? EVP_EncryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, file_key_, nullptr)
                           : EVP_DecryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, file_key_, nullptr);
    return ok == 1;
  }

  // Seals plain[0, len) as chunk `index` into out: length word, ciphertext,
  // tag.
  bool seal(std::uint64_t index, bool last, const char* plain, std::size_t len, std::string& out) {
    unsigned char word[WORD_SIZE];
    put_le32(word, static_cast<std::uint32_t>(len) | (last ? LAST_FLAG : 0));
    if (!start(index, last, word)) return false;
    const std::size_t at = out.size();
    out.resize(at + WORD_SIZE + len + TAG_SIZE);
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[at]);
    std::memcpy(p, word, WORD_SIZE);
    int n = 0;
    if (len && EVP_EncryptUpdate(ctx_, p + WORD_SIZE, &n, reinterpret_cast<const unsigned char*>(plain),
                                 static_cast<int>(len)) != 1)
      return false;
    int tail = 0;
    if (EVP_EncryptFinal_ex(ctx_, p + WORD_SIZE + n, &tail) != 1 || static_cast<std::size_t>(n + tail) != len)
      return false;
    return EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, TAG_SIZE, p + WORD_SIZE + len) == 1;
  }

  // Opens chunk `index` (chunk[0, len): ciphertext then tag, after the
  // length word `word`) into plain; false when its tag does not prove it.
  bool open(std::uint64_t index, bool last, const unsigned char* word, const unsigned char* chunk, std::size_t len,
            std::string& plain) {
    const std::size_t text = len - TAG_SIZE;
    plain.resize(text);
    if (!start(index, last, word)) return false;
    int n = 0;
    if (text &&
        EVP_DecryptUpdate(ctx_, reinterpret_cast<unsigned char*>(&plain[0]), &n, chunk, static_cast<int>(text)) != 1)
      return false;
    if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, TAG_SIZE, const_cast<unsigned char*>(chunk + text)) != 1)
      return false;
    int tail = 0;
    unsigned char none[16];
    if (EVP_DecryptFinal_ex(ctx_, none, &tail) != 1) {
      OPENSSL_cleanse(&plain[0], plain.size());
      plain.clear();
      return false;
    }
    return true;
  }

 private:
  // Sets the chunk's nonce (index, last flag) and feeds its associated
  // data (header, index, last flag, length word).
  bool start(std::uint64_t index, bool last, const unsigned char* word) {
    unsigned char nonce[NONCE_SIZE] = {};
    for (int i = 0; i < 8; ++i) nonce[i] = static_cast<unsigned char>(index >> (56 - 8 * i));
    nonce[NONCE_SIZE - 1] = last ? 1 : 0;
    std::memcpy(aad_ + HEADER_SIZE, nonce, 8);
    aad_[HEADER_SIZE + 8] = last ? 1 : 0;
    std::memcpy(aad_ + HEADER_SIZE + 9, word, WORD_SIZE);
    int n = 0;
    if (encrypt_) {
      return EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) == 1 &&
             EVP_EncryptUpdate(ctx_, nullptr, &n, aad_, sizeof aad_) == 1;
    }
    return EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_DecryptUpdate(ctx_, nullptr, &n, aad_, sizeof aad_) == 1;
  }

  EVP_CIPHER_CTX* ctx_ = nullptr;
  bool encrypt_ = true;
  unsigned char file_key_[KEY_SIZE] = {};
  unsigned char aad_[HEADER_SIZE + 8 + 1 + WORD_SIZE] = {};
};

class Cipher_Encoder : public Storage_Encoder {
 public:
  explicit Cipher_Encoder(std::unique_ptr<Storage_Encoder> inner) : inner_(std::move(inner)) {}

  bool init(const Storage_Key& key, const std::string& name) {
    std::memcpy(header_, MAGIC, sizeof MAGIC);
    header_[ENCRYPTED_MAGIC_SIZE] = VERSION;
    header_[ENCRYPTED_MAGIC_SIZE + 1] = CIPHER_AES_256_GCM;
    if (RAND_bytes(header_ + SALT_AT, SALT_SIZE) != 1) return false;
    return sealer_.init(key, header_, name, true, header_ + CHECK_AT);
  }

  bool encode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    if (!inner_->encode(data, len, pending_, err)) return false;
    return seal_full(out, err);
  }

  bool finish(std::string& out, std::string& err) override {
    if (!inner_->finish(pending_, err) || !seal_full(out, err)) return false;
    put_header(out);
    // Whatever is left, possibly nothing, is the last chunk: a reader
    // knows the file complete only when it has seen it.
    if (!sealer_.seal(index_++, true, pending_.data(), pending_.size(), out)) return failed(err);
    pending_.clear();
    return true;
  }

 private:
  bool seal_full(std::string& out, std::string& err) {
    if (pending_.size() < CHUNK_SIZE) return true;
    put_header(out);
    std::size_t at = 0;
    for (; pending_.size() - at >= CHUNK_SIZE; at += CHUNK_SIZE) {
      if (!sealer_.seal(index_++, false, pending_.data() + at, CHUNK_SIZE, out)) return failed(err);
    }
    pending_.erase(0, at);
    return true;
  }

  void put_header(std::string& out) {
    if (header_written_) return;
    out.append(reinterpret_cast<const char*>(header_), HEADER_SIZE);
    header_written_ = true;
  }

  bool failed(std::string& err) {
    err = "encryption failed";
    return false;
  }

  std::unique_ptr<Storage_Encoder> inner_;
  Chunk_Sealer sealer_;
  unsigned char header_[HEADER_SIZE] = {};
  bool header_written_ = false;
  std::string pending_;  // inner encoder's output not yet sealed
  std::uint64_t index_ = 0;
};

class Cipher_Decoder : public Storage_Decoder {
 public:
  Cipher_Decoder(const Storage_Key& key, const std::string& name, int inner_method)
      : name_(name), inner_method_(inner_method) {
    std::memcpy(key_.bytes, key.bytes, KEY_SIZE);
  }

  bool decode(const char* data, std::size_t len, std::string& out, std::string& err) override {
    if (!failure_.empty()) {
      err = failure_;
      return false;
    }
    in_.append(data, len);
    const bool ok = consume(out);
    if (!ok) err = failure_;
    return ok;
  }

  bool finish(std::string& err) override {
    if (failure_.empty()) {
      if (!sealer_) {
        fail("truncated encrypted data: the file ends inside its header");
      } else if (!ended_) {
        fail("truncated encrypted data: the file ends " +
             std::string(in_.size() - at_ ? "inside chunk " : "before chunk ") + std::to_string(index_) +
             " (its last chunk is missing)");
      } else if (!inner_->finish(err)) {  // the last chunk made it
        fail(err);
      }
    }
    err = failure_;
    return failure_.empty();
  }

 private:
  bool consume(std::string& out) {
    if (!sealer_ && !read_header()) return failure_.empty();
    while (in_.size() - at_ >= WORD_SIZE) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(in_.data()) + at_;
      if (ended_) return fail("damaged encrypted data: bytes after the last chunk");
      const std::uint32_t word = get_le32(p);
      const bool last = (word & LAST_FLAG) != 0;
      const std::size_t len = word & ~LAST_FLAG;
      if (len > CHUNK_SIZE)
        return fail("damaged encrypted data: chunk " + std::to_string(index_) + " claims " + std::to_string(len) +
                    " bytes, over the limit of " + std::to_string(CHUNK_SIZE));
      if (in_.size() - at_ < WORD_SIZE + len + TAG_SIZE) break;
      if (!sealer_->open(index_, last, p, p + WORD_SIZE, len + TAG_SIZE, plain_))
        return fail("encrypted chunk " + std::to_string(index_) +
                    " fails authentication: the data is damaged, reordered or not of this file (one written under "
                    "another name)");
      at_ += WORD_SIZE + len + TAG_SIZE;
      ++index_;
      ended_ = last;
      if (!pass_on(plain_, out)) return false;
    }
    if (ended_ && at_ < in_.size()) return fail("damaged encrypted data: bytes after the last chunk");
    // Keeps only the part of a chunk still to come.
    if (at_ >= CHUNK_SIZE || at_ == in_.size()) {
      in_.erase(0, at_);
      at_ = 0;
    }
    return true;
  }

  bool read_header() {
    const std::size_t have = in_.size();
    const unsigned char* h = reinterpret_cast<const unsigned char*>(in_.data());
    if (std::memcmp(h, MAGIC, std::min(have, sizeof MAGIC)) != 0) return fail("the data is not encrypted");
    if (have > ENCRYPTED_MAGIC_SIZE && h[ENCRYPTED_MAGIC_SIZE] != VERSION && h[ENCRYPTED_MAGIC_SIZE] != VERSION_UNBOUND)
      return fail("unsupported encrypted format version " + std::to_string(h[ENCRYPTED_MAGIC_SIZE]));
    if (have > ENCRYPTED_MAGIC_SIZE + 1 && h[ENCRYPTED_MAGIC_SIZE + 1] != CIPHER_AES_256_GCM)
      return fail("unknown cipher id " + std::to_string(h[ENCRYPTED_MAGIC_SIZE + 1]) + " in the encrypted header");
    if (have < HEADER_SIZE) return false;
    if (h[ENCRYPTED_MAGIC_SIZE + 2] != 0 || h[ENCRYPTED_MAGIC_SIZE + 3] != 0) return fail("damaged encrypted header");
    std::unique_ptr<Chunk_Sealer> sealer(new (std::nothrow) Chunk_Sealer);
    unsigned char check[CHECK_SIZE];
    if (!sealer || !sealer->init(key_, h, name_, false, check))
      return fail("decryption failed: cannot set up the cipher");
    if (CRYPTO_memcmp(check, h + CHECK_AT, CHECK_SIZE) != 0)
      return fail(
          "wrong cipher key: the pool's key is not the one the file was written with (or its header is "
          "damaged)");
    sealer_ = std::move(sealer);
    at_ = HEADER_SIZE;
    return true;
  }

  // Hands decrypted bytes to the decoder of their method, made once the
  // first bytes tell the method.
  bool pass_on(std::string& plain, std::string& out) {
    std::string err;
    if (!inner_) {
      head_.append(plain);
      if (head_.size() < ENCRYPTED_MAGIC_SIZE && !ended_) return true;
      if (!start_inner()) return false;
      if (!inner_->decode(head_.data(), head_.size(), out, err)) return fail(err);
      head_.clear();
      return true;
    }
    if (!inner_->decode(plain.data(), plain.size(), out, err)) return fail(err);
    return true;
  }

  bool start_inner() {
    const int found = detect_storage_method(head_.data(), head_.size());
    int method = inner_method_ == COMPR_AUTO ? found : inner_method_;
    if (inner_method_ != COMPR_AUTO && inner_method_ != COMPR_NONE && found != inner_method_)
      return fail(std::string("the decrypted data is not ") + compression_value_to_name(inner_method_) + " data");
    inner_ = make_storage_decoder(method);
    if (!inner_) return fail("cannot set up decompression");
    return true;
  }

  bool fail(const std::string& why) {
    failure_ = why;
    return false;
  }

  Storage_Key key_;
  const std::string name_;
  const int inner_method_;
  std::unique_ptr<Chunk_Sealer> sealer_;  // set once the header is read and the key proved
  std::unique_ptr<Storage_Decoder> inner_;
  std::string in_;  // stored bytes not yet decrypted, from at_
  std::size_t at_ = 0;
  std::string plain_;  // the last chunk decrypted
  std::string head_;   // decrypted bytes held until they tell the method
  std::uint64_t index_ = 0;
  bool ended_ = false;
  std::string failure_;
};

}  // namespace

Storage_Key::~Storage_Key() { OPENSSL_cleanse(bytes, sizeof bytes); }

bool parse_storage_cipher(const std::string& cipher, const std::string& key_hex, std::unique_ptr<Storage_Key>& key,
                          std::string& err) {
  key.reset();
  if (cipher.empty() || cipher == "none") return true;
  if (cipher != STORAGE_CIPHER_AES_256_GCM) {
    err = "unknown storage cipher '" + cipher + "': expected aes-256-gcm";
    return false;
  }
  if (key_hex.size() != 2 * KEY_SIZE) {
    err = "the cipher key must be 64 hexadecimal digits (256 bits), not " + std::to_string(key_hex.size()) +
          " characters";
    return false;
  }
  std::unique_ptr<Storage_Key> parsed(new (std::nothrow) Storage_Key);
  if (!parsed) {
    err = "out of memory";
    return false;
  }
  for (std::size_t i = 0; i < KEY_SIZE; ++i) {
    const int hi = hex_value(key_hex[2 * i]), lo = hex_value(key_hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      err = "the cipher key must be 64 hexadecimal digits (256 bits): it holds other characters";
      return false;
    }
    parsed->bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  key = std::move(parsed);
  return true;
}

bool is_encrypted_storage(const char* head, std::size_t len) {
  return len >= sizeof MAGIC && std::memcmp(head, MAGIC, sizeof MAGIC) == 0;
}

std::unique_ptr<Storage_Encoder> make_cipher_encoder(std::unique_ptr<Storage_Encoder> inner, const Storage_Key& key,
                                                     const std::string& name) {
  if (!inner) return nullptr;
  std::unique_ptr<Cipher_Encoder> enc(new (std::nothrow) Cipher_Encoder(std::move(inner)));
  if (!enc || !enc->init(key, name)) return nullptr;
  return std::unique_ptr<Storage_Encoder>(enc.release());
}

std::unique_ptr<Storage_Decoder> make_cipher_decoder(const Storage_Key& key, const std::string& name,
                                                     int inner_method) {
  return std::unique_ptr<Storage_Decoder>(new (std::nothrow) Cipher_Decoder(key, name, inner_method));
}
