#ifndef HOST_STORAGE_CIPHER_H
#define HOST_STORAGE_CIPHER_H

#include <cstddef>
#include <memory>
#include <string>

#include "host/storage/storage_codec.h"

// Encryption at rest of storage files. An encrypted file is the stored form
// of its compression method (or the raw bytes), sealed in authenticated
// chunks:
//   header: magic (8 bytes), version (1), cipher id (1), two zero bytes,
//           a random salt (32), a key check (16)
//   chunks: length word (4, little-endian: the ciphertext length, with the
//           high bit set on the last chunk), ciphertext, GCM tag (16)
// Each file has a key of its own, derived (HKDF-SHA256) from the pool's key,
// the salt and the file's name: a file copied over another of the same
// pool fails its first chunk, so one set cannot pass for another. The key
// check is derived from the pool's key and the salt only, and tells a wrong
// pool key from damage or a wrong name. Files of version 1, written before
// the name was bound, are still read: their key comes from the pool's key
// and the salt alone; every file written now is of version 2. A chunk's nonce is its index and its last flag, and its
// associated data the whole header, its index, its last flag and its length word, so that a changed header, a flipped
// byte, chunks swapped, dropped, taken from another file, or a file cut short all fail the read; no byte of a chunk is
// handed out before its tag is proved.

// The one cipher the storage client knows.
extern const char* const STORAGE_CIPHER_AES_256_GCM;

// A pool's cipher key, 32 bytes; wiped when it is destroyed.
struct Storage_Key {
  Storage_Key() = default;
  ~Storage_Key();
  Storage_Key(const Storage_Key&) = delete;
  Storage_Key& operator=(const Storage_Key&) = delete;
  unsigned char bytes[32] = {};
};

// The key of a pool's cipher settings. An empty cipher or "none" means no
// encryption: true with key null. "aes-256-gcm" needs key_hex to be 64
// hexadecimal digits: true with key set. False otherwise, with err saying
// which setting is wrong, never quoting the key.
bool parse_storage_cipher(const std::string& cipher, const std::string& key_hex, std::unique_ptr<Storage_Key>& key,
                          std::string& err);

// Bytes of a file's start that tell whether it is encrypted.
const std::size_t ENCRYPTED_MAGIC_SIZE = 8;

// Whether head (the first len bytes of a stored file) starts with the
// encrypted form's magic number.
bool is_encrypted_storage(const char* head, std::size_t len);

// An encoder that seals what `inner` produces for the file stored under
// `name` (its plain name in the pool, without directory or prefix). Null
// when the cipher library could not set up its state or no random salt
// could be drawn.
std::unique_ptr<Storage_Encoder> make_cipher_encoder(std::unique_ptr<Storage_Encoder> inner, const Storage_Key& key,
                                                     const std::string& name);

// A decoder of the encrypted form of the file stored under `name` (as
// make_cipher_encoder takes it), whose decrypted bytes go through the
// decoder of their compression method: told by their first bytes when
// inner_method is COMPR_AUTO, the raw bytes for COMPR_NONE, and otherwise
// required to be of that method. Null when the cipher library could not set
// up its state.
std::unique_ptr<Storage_Decoder> make_cipher_decoder(const Storage_Key& key, const std::string& name, int inner_method);

#endif
