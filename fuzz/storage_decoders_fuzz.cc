// Feeds arbitrary bytes to the storage client as a stored file. The first
// byte picks the method the reader is told (auto, none, zstd, lzop) and a
// split point; the rest is the file. Reading must end (data or a failure)
// without a crash or leak, and three readings must agree: the client's
// read, the decoder fed in two pieces, and verify against the file's own
// size. A damaged file may fail, but never differently in one of them.
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_files.h"
#include "host/base/fs_util.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/storage_cipher.h"
#include "host/storage/storage_codec.h"

namespace {

std::string g_dir;

const int METHODS[] = {COMPR_AUTO, COMPR_NONE, COMPR_ZSTD, COMPR_LZOP};

// The whole file through the client; false when a read failed.
bool read_client(int method, std::string& out) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  Client_IO_Ex io;
  if (!io.connect("file://" + g_dir, o) || !io.open("f", Client_IO_Ex::MODE_READ)) return false;
  char buf[70000];
  for (;;) {
    const ssize_t n = io.read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return io.close();
}

// The stored bytes through the decoder of their own format, in two pieces.
bool read_split(const char* data, std::size_t size, std::size_t split, std::string& out) {
  std::unique_ptr<Storage_Decoder> dec = make_storage_decoder(detect_storage_method(data, size));
  if (!dec) std::abort();
  std::string err;
  if (split > size) split = size;
  return dec->decode(data, split, out, err) && dec->decode(data + split, size - split, out, err) && dec->finish(err);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzz::quiet_temp_dir("storage-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int method = METHODS[data[0] & 3];
  const std::size_t split = (data[0] >> 2) * 997;
  const std::uint8_t* file = data + 1;
  const std::size_t len = size - 1;
  if (!fuzz::write_all(g_dir + "/f", file, len)) std::abort();

  std::string by_client;
  const bool client_ok = read_client(method, by_client);
  std::string by_pieces;
  const bool pieces_ok = read_split(reinterpret_cast<const char*>(file), len, split, by_pieces);
  // A reader told the file's own format (or told to detect it) agrees with
  // the decoder; one told another compressed format refuses the file; one
  // told "none" hands out the bytes as they are.
  const int found = detect_storage_method(reinterpret_cast<const char*>(file), len);
  if (is_encrypted_storage(reinterpret_cast<const char*>(file), len)) {
    // An encrypted file is refused by a client without a cipher, whatever
    // it was told, and proved intact by nothing.
    Client_IO_Base::Options o;
    Client_IO_Ex io;
    if (client_ok || !io.connect("file://" + g_dir, o) || io.verify("f", len, "")) std::abort();
    return 0;
  }
  if (method == COMPR_AUTO || method == found) {
    if (client_ok != pieces_ok || (client_ok && by_client != by_pieces)) std::abort();
  } else if (method != COMPR_NONE && client_ok) {
    std::abort();
  }
  if (method == COMPR_NONE && (!client_ok || by_client != std::string(reinterpret_cast<const char*>(file), len)))
    std::abort();

  Client_IO_Base::Options o;
  Client_IO_Ex io;
  if (!io.connect("file://" + g_dir, o)) std::abort();
  if (io.verify("f", len, "") != pieces_ok) std::abort();
  if (io.verify("f", len + 1, "")) std::abort();
  return 0;
}
