// The storage client's codecs: parallel zstd, and encryption at rest with
// round trips of every method through an encrypted pool, refused keys and
// settings, and every kind of tampering with an encrypted file failing the
// read (naming the file) rather than yielding wrong data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/storage/client_io_ex.h"
#include "host/storage/storage_cipher.h"
#include "tests/support/sample_data.h"
#include "tests/support/test_paths.h"

namespace {

const std::string KEY_A = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
const std::string KEY_B = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

// The encrypted form's layout, as a reader outside the client sees it.
const std::size_t HEADER = 60;
const std::size_t CHUNK = 1024 * 1024;
const std::size_t CHUNK_STORED = 4 + CHUNK + 16;

Client_IO_Base::Options encrypted(int method, const std::string& key = KEY_A) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = 1;
  o.cipher = "aes-256-gcm";
  o.key = key;
  return o;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Stores data in uneven pieces; false with err set on any failure.
bool store(const std::string& dir, const std::string& name, const std::string& data,
           const Client_IO_Base::Options& options, std::string& err) {
  Client_IO_Ex io;
  bool ok = io.connect("file://" + dir, options) && io.open(name.c_str(), Client_IO_Ex::MODE_WRITE);
  for (std::size_t at = 0; ok && at < data.size();) {
    const std::size_t n = std::min<std::size_t>(3000 + at % 65521, data.size() - at);
    ok = io.write(data.data() + at, n) == static_cast<ssize_t>(n);
    at += n;
  }
  ok = ok && io.close();
  if (!ok) err = io.error();
  return ok;
}

// What a read of the whole file gives: true with out holding every byte,
// or false with out holding what was handed out before the failure and err
// the client's error.
bool load(const std::string& dir, const std::string& name, const Client_IO_Base::Options& options, std::string& out,
          std::string& err) {
  out.clear();
  Client_IO_Ex io;
  if (!io.connect("file://" + dir, options) || !io.open(name.c_str(), Client_IO_Ex::MODE_READ)) {
    err = io.error();
    return false;
  }
  std::vector<char> buf(100000);
  for (;;) {
    const ssize_t n = io.read(buf.data(), buf.size());
    if (n < 0) {
      err = io.error();
      return false;
    }
    if (n == 0) break;
    out.append(buf.data(), static_cast<std::size_t>(n));
  }
  return io.close();
}

class EncryptedRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(EncryptedRoundTrip, ReadsBackWhatWasWrittenAndVerifies) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(3 * CHUNK + 12345);
  std::string err, back;
  ASSERT_TRUE(store(tmp.path(), "set.bin", data, encrypted(GetParam()), err)) << err;
  const std::string stored = read_file(tmp / "set.bin");
  ASSERT_TRUE(is_encrypted_storage(stored.data(), stored.size()));
  EXPECT_FALSE(contains(stored, data.substr(CHUNK, 64))) << "plain bytes on disk";

  ASSERT_TRUE(load(tmp.path(), "set.bin", encrypted(COMPR_AUTO), back, err)) << err;
  EXPECT_TRUE(back == data);
  ASSERT_TRUE(load(tmp.path(), "set.bin", encrypted(GetParam()), back, err)) << err;
  EXPECT_TRUE(back == data);

  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), encrypted(COMPR_AUTO))) << io.error();
  EXPECT_TRUE(io.verify("set.bin", stored.size(), "")) << io.error();

  // An empty file is a header and one empty last chunk.
  ASSERT_TRUE(store(tmp.path(), "empty.bin", "", encrypted(GetParam()), err)) << err;
  ASSERT_TRUE(load(tmp.path(), "empty.bin", encrypted(COMPR_AUTO), back, err)) << err;
  EXPECT_EQ("", back);
}

INSTANTIATE_TEST_SUITE_P(Methods, EncryptedRoundTrip, ::testing::Values(COMPR_NONE, COMPR_ZSTD, COMPR_LZOP));

TEST(StorageCipher, EveryFileHasItsOwnSaltAndAMethodMismatchIsNamed) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(200000);
  std::string err, back;
  ASSERT_TRUE(store(tmp.path(), "a", data, encrypted(COMPR_NONE), err)) << err;
  ASSERT_TRUE(store(tmp.path(), "b", data, encrypted(COMPR_NONE), err)) << err;
  const std::string a = read_file(tmp / "a"), b = read_file(tmp / "b");
  ASSERT_EQ(a.size(), b.size());
  EXPECT_NE(a.substr(12, 32), b.substr(12, 32)) << "the salt must be drawn per file";
  EXPECT_NE(a.substr(HEADER), b.substr(HEADER));

  EXPECT_FALSE(load(tmp.path(), "a", encrypted(COMPR_ZSTD), back, err));
  EXPECT_TRUE(contains(err, tmp / "a")) << err;
  EXPECT_TRUE(contains(err, "not zstd data")) << err;
}

TEST(StorageCipher, WrongKeyOrMissingEncryptionFailsNamingTheFile) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(300000);
  std::string err, back;
  ASSERT_TRUE(store(tmp.path(), "set", data, encrypted(COMPR_ZSTD), err)) << err;

  EXPECT_FALSE(load(tmp.path(), "set", encrypted(COMPR_AUTO, KEY_B), back, err));
  EXPECT_TRUE(contains(err, tmp / "set")) << err;
  EXPECT_TRUE(contains(err, "wrong cipher key")) << err;
  EXPECT_EQ("", back);
  EXPECT_FALSE(contains(err, KEY_B)) << "the key must not reach an error";

  Client_IO_Base::Options clear;
  clear.compression_method = COMPR_AUTO;
  EXPECT_FALSE(load(tmp.path(), "set", clear, back, err));
  EXPECT_TRUE(contains(err, "is encrypted, but its pool has no cipher key")) << err;

  // A file in the clear is refused by an encrypted pool: one put in place
  // of an encrypted set must not be taken for it.
  ASSERT_TRUE(store(tmp.path(), "plain", data, clear, err)) << err;
  EXPECT_FALSE(load(tmp.path(), "plain", encrypted(COMPR_AUTO), back, err));
  EXPECT_TRUE(contains(err, tmp / "plain")) << err;
  EXPECT_TRUE(contains(err, "is not encrypted")) << err;

  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), encrypted(COMPR_AUTO, KEY_B)));
  EXPECT_FALSE(io.verify("set", read_file(tmp / "set").size(), ""));
  EXPECT_TRUE(contains(io.error(), "wrong cipher key")) << io.error();
}

TEST(StorageCipher, ConnectRefusesBadCipherSettingsWithoutQuotingTheKey) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  Client_IO_Base::Options o = encrypted(COMPR_ZSTD);
  o.cipher = "aes-128-cbc";
  EXPECT_FALSE(io.connect("file://" + tmp.path(), o));
  EXPECT_TRUE(contains(io.error(), "unknown storage cipher 'aes-128-cbc'")) << io.error();

  const std::vector<std::string> bad_keys = {"", KEY_A.substr(2), KEY_A + "00", KEY_A.substr(1) + "g"};
  for (const std::string& key : bad_keys) {
    EXPECT_FALSE(io.connect("file://" + tmp.path(), encrypted(COMPR_ZSTD, key))) << key;
    EXPECT_TRUE(contains(io.error(), "64 hexadecimal digits")) << io.error();
    if (!key.empty()) {
      EXPECT_FALSE(contains(io.error(), key)) << io.error();
    }
  }
  // Nothing is stored by a client that did not connect.
  EXPECT_FALSE(io.open("x", Client_IO_Ex::MODE_WRITE));
  EXPECT_TRUE(dir_entries(tmp.path()).empty());

  o = encrypted(COMPR_ZSTD);
  o.cipher = "none";
  EXPECT_TRUE(io.connect("file://" + tmp.path(), o)) << io.error();
}

// The stored form of a 2.5-chunk file in the clear (method none), damaged
// in one way at a time: each read fails naming the file, and what it handed
// out before failing is a true prefix of the data.
TEST(StorageCipher, EveryTamperingFailsTheReadAndVerify) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(2 * CHUNK + CHUNK / 2);
  std::string err;
  ASSERT_TRUE(store(tmp.path(), "good", data, encrypted(COMPR_NONE), err)) << err;
  const std::string good = read_file(tmp / "good");
  ASSERT_EQ(HEADER + 2 * CHUNK_STORED + 4 + CHUNK / 2 + 16, good.size());
  const std::size_t chunk1 = HEADER + CHUNK_STORED, chunk2 = HEADER + 2 * CHUNK_STORED;

  auto flip = [&](std::size_t at, int mask = 0x20) {
    std::string s = good;
    s[at] = static_cast<char>(s[at] ^ mask);
    return s;
  };
  std::string swapped = good;
  swapped.replace(HEADER, CHUNK_STORED, good, chunk1, CHUNK_STORED);
  swapped.replace(chunk1, CHUNK_STORED, good, HEADER, CHUNK_STORED);
  std::string other;  // the same data sealed again: its chunks belong to another file
  ASSERT_TRUE(store(tmp.path(), "other", data, encrypted(COMPR_NONE), err)) << err;
  other = read_file(tmp / "other");
  std::string spliced = good;
  spliced.replace(chunk1, CHUNK_STORED, other, chunk1, CHUNK_STORED);

  const struct {
    const char* what;
    std::string stored;
    const char* reason;
  } cases[] = {
      {"magic", flip(1), "is not encrypted"},
      {"version", flip(8), "unsupported encrypted format version"},
      {"version of unbound files", flip(8, 0x03), "wrong cipher key"},
      {"cipher id", flip(9), "unknown cipher id"},
      {"reserved", flip(10), "damaged encrypted header"},
      {"salt", flip(20), "wrong cipher key"},
      {"key check", flip(HEADER - 1), "wrong cipher key"},
      {"length word", flip(chunk1), "chunk 1"},
      {"last flag", flip(chunk1 + 3, 0x80), "chunk 1 fails authentication"},
      {"first chunk", flip(HEADER + 4 + 100), "chunk 0 fails authentication"},
      {"middle chunk", flip(chunk1 + 4 + CHUNK / 2), "chunk 1 fails authentication"},
      {"tag", flip(chunk2 - 1), "chunk 1 fails authentication"},
      {"last chunk", flip(good.size() - 20), "chunk 2 fails authentication"},
      {"swapped chunks", swapped, "chunk 0 fails authentication"},
      {"chunk of another file", spliced, "chunk 1 fails authentication"},
      {"another file of the pool copied over it", other, "chunk 0 fails authentication"},
      {"truncated in a chunk", good.substr(0, chunk2 + 1000), "truncated encrypted data"},
      {"last chunk dropped", good.substr(0, chunk2), "its last chunk is missing"},
      {"truncated in the header", good.substr(0, 30), "inside its header"},
      {"bytes after the end", good + "x", "after the last chunk"},
  };
  // Each damaged form takes the place of the file it was made from.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(write_file(tmp / "good", c.stored));
    std::string back;
    EXPECT_FALSE(load(tmp.path(), "good", encrypted(COMPR_AUTO), back, err));
    EXPECT_TRUE(contains(err, tmp / "good")) << err;
    EXPECT_TRUE(contains(err, c.reason)) << err;
    EXPECT_TRUE(back.size() <= data.size() && data.compare(0, back.size(), back) == 0) << "wrong data handed out";

    Client_IO_Ex io;
    ASSERT_TRUE(io.connect("file://" + tmp.path(), encrypted(COMPR_AUTO)));
    EXPECT_FALSE(io.verify("good", c.stored.size(), ""));
    EXPECT_TRUE(contains(io.error(), tmp / "good")) << io.error();
  }
  // The file as written still reads under its own name only.
  ASSERT_TRUE(write_file(tmp / "good", good));
  std::string back;
  ASSERT_TRUE(load(tmp.path(), "good", encrypted(COMPR_AUTO), back, err)) << err;
  EXPECT_TRUE(back == data);
  ASSERT_TRUE(write_file(tmp / "copy", good));
  EXPECT_FALSE(load(tmp.path(), "copy", encrypted(COMPR_AUTO), back, err));
  EXPECT_TRUE(contains(err, tmp / "copy")) << err;
  EXPECT_TRUE(contains(err, "chunk 0 fails authentication")) << err;
  EXPECT_EQ("", back);
}

// A file sealed before names were bound (format version 1: its key comes
// from the pool's key and its salt alone), as an earlier client wrote it
// with the key 00 01 02 ... 1f and no compression.
TEST(StorageCipher, FilesWrittenBeforeNamesWereBoundStillRead) {
  const char* const SEALED_V1 =
      "894f5343454e430a01010000216710c1d557ba2a44fad9828e2cc9df0096a7894c00ba83aab77a8919e90da35a2264b0f9a97ab1644f"
      "58e9087bae462a00008005d3551f1c2f2819ab4a6531e0e4c97fe1d325c4e39edba24e5d21c2390e2b883731e3954df34796a4c14ee4"
      "8ebd7241c72cd52af6827e1e6fb5";
  std::string sealed;
  for (const char* p = SEALED_V1; p[0] && p[1]; p += 2)
    sealed += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  std::string key;
  static const char DIGITS[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    key += DIGITS[i >> 4];
    key += DIGITS[i & 15];
  }
  Temp_Dir tmp;
  ASSERT_TRUE(write_file(tmp / "legacy", sealed));
  std::string back, err;
  ASSERT_TRUE(load(tmp.path(), "legacy", encrypted(COMPR_AUTO, key), back, err)) << err;
  EXPECT_EQ("a set written before file names were bound", back);
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), encrypted(COMPR_AUTO, key)));
  EXPECT_TRUE(io.verify("legacy", sealed.size(), "")) << io.error();

  // Damage is still found in the old format.
  sealed[sealed.size() - 20] ^= 1;
  ASSERT_TRUE(write_file(tmp / "legacy", sealed));
  EXPECT_FALSE(load(tmp.path(), "legacy", encrypted(COMPR_AUTO, key), back, err));
  EXPECT_TRUE(contains(err, "chunk 0 fails authentication")) << err;
  EXPECT_TRUE(back.empty());
}

// With worker threads the zstd stored form is still frames the zstd tool
// and the client's own decoder read; the thread count is checked on
// connect.
TEST(ParallelZstd, WorkersWriteFramesTheToolAndTheClientRead) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(9 * 1024 * 1024 + 4321, 7);
  for (const char* workers : {"0", "1", "2", "3"}) {
    SCOPED_TRACE(workers);
    Client_IO_Base::Options o;
    o.compression_method = COMPR_ZSTD;
    o.set_extra_option(ZSTD_WORKERS_OPTION, workers);
    std::string err, back;
    const std::string name = std::string("z") + workers;
    ASSERT_TRUE(store(tmp.path(), name, data, o, err)) << err;
    o.compression_method = COMPR_AUTO;
    ASSERT_TRUE(load(tmp.path(), name, o, back, err)) << err;
    EXPECT_TRUE(back == data);
    if (std::system("command -v zstd >/dev/null 2>&1") != 0) continue;
    const std::string cmd = "zstd -q -d -c " + (tmp / name) + " > " + (tmp / "plain");
    ASSERT_EQ(0, std::system(cmd.c_str()));
    EXPECT_TRUE(read_file(tmp / "plain") == data);
  }

  Client_IO_Ex io;
  for (const char* bad : {"", "-1", "two", "100000", "1 "}) {
    Client_IO_Base::Options o;
    o.compression_method = COMPR_ZSTD;
    o.set_extra_option(ZSTD_WORKERS_OPTION, bad);
    EXPECT_FALSE(io.connect("file://" + tmp.path(), o)) << bad;
    EXPECT_TRUE(contains(io.error(), "zstd workers")) << io.error();
  }
}

}  // namespace
