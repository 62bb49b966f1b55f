#include "agent/coordinator_token.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/base/fs_util.h"

namespace {

const std::size_t TOKEN_MAX = 1024;

// The file's bytes, at most TOKEN_MAX + 2 of them (enough to tell a file too
// long); the read buffer is wiped.
bool read_private(const std::string& path, std::string& text, std::string& why) {
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    why = "cannot open the token file " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = check_private_file(fd, path, "the token file", why) == 0;
  char buf[256];
  while (ok && text.size() <= TOKEN_MAX + 1) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read the token file " + path + ": " + std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  explicit_bzero(buf, sizeof buf);
  ::close(fd);
  return ok;
}

}  // namespace

bool read_token_file(const std::string& path, std::string& token, std::string& why) {
  std::string text;
  if (!read_private(path, text, why)) return false;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  const bool printable =
      std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7f; });
  if (text.empty() || text.size() > TOKEN_MAX || !printable) {
    why = "the token file " + path + " must hold one line of 1 to " + std::to_string(TOKEN_MAX) +
          " printable characters without blanks";
    return false;
  }
  token.swap(text);
  return true;
}

bool same_token(const std::string& given, const std::string& expected) {
  unsigned char a[SHA256_DIGEST_LENGTH];
  unsigned char b[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
  SHA256(reinterpret_cast<const unsigned char*>(expected.data()), expected.size(), b);
  return CRYPTO_memcmp(a, b, sizeof a) == 0;
}
