#include "agent/pool_cipher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "host/base/fs_util.h"
#include "host/storage/compression.h"
#include "host/storage/storage_cipher.h"
#include "tollix/secure_allocator.h"

namespace {

// Longest key file read: the key, a line end and some room for blanks the
// form check then refuses.
const std::size_t KEY_FILE_MAX = 256;

// Reads the key: the file's content without one trailing line end. Only
// secure memory holds it; the read buffer is wiped.
bool read_key_file(const std::string& path, secure_string& key, std::string& err) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    err = "cannot open the cipher key file " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = check_private_file(fd, path, "the cipher key file", err) == 0;
  char buf[KEY_FILE_MAX + 1];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = "cannot read the cipher key file " + path + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    key.append(buf, static_cast<std::size_t>(n));
    if (key.size() > KEY_FILE_MAX) {
      err = "the cipher key file " + path + " is too large for a key";
      ok = false;
    }
  }
  explicit_bzero(buf, sizeof buf);
  ::close(fd);
  if (ok && !key.empty() && key.back() == '\n') key.pop_back();
  if (ok && !key.empty() && key.back() == '\r') key.pop_back();
  return ok;
}

}  // namespace

bool set_pool_codec_options(const Command_Line& line, Pool_Info& info, std::string& err) {
  const std::string workers = option_value(line, "zstd-workers");
  if (line.options.count("zstd-workers")) {
    int count = 0;
    if (!parse_zstd_workers(workers, count, err)) return false;
    info.ext_attrs[ZSTD_WORKERS_OPTION] = std::to_string(count);
  }
  const std::string cipher = option_value(line, "cipher");
  const std::string key_file = option_value(line, "cipher-key-file");
  const bool encrypted = !cipher.empty() && cipher != "none";
  if (!encrypted) {
    if (key_file.empty()) return true;
    err = "--cipher-key-file needs --cipher " + std::string(STORAGE_CIPHER_AES_256_GCM);
    return false;
  }
  if (cipher != STORAGE_CIPHER_AES_256_GCM) {
    err = "unknown cipher \"" + cipher + "\": expected " + STORAGE_CIPHER_AES_256_GCM;
    return false;
  }
  if (key_file.empty()) {
    err =
        "--cipher " + cipher + " needs --cipher-key-file FILE (64 hexadecimal digits, as openssl rand -hex 32 writes)";
    return false;
  }
  secure_string key;
  if (!read_key_file(key_file, key, err)) return false;
  std::string key_text(key.data(), key.size());
  wipe(key);
  std::unique_ptr<Storage_Key> parsed;
  std::string why;
  const bool ok = parse_storage_cipher(cipher, key_text, parsed, why);
  if (ok) {
    info.cipher = cipher;
    info.key = key_text;
  } else {
    err = "the cipher key file " + key_file + " must hold 64 hexadecimal digits (as openssl rand -hex 32 writes)";
  }
  secure_memset(&key_text[0], key_text.size());
  return ok;
}
