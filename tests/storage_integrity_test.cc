// The stored-object digests of the storage client, their verification, the
// digest member of catalogue storage entries, and the checks of compression
// settings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/base/agent_state.h"
#include "host/catalog/catalog_operator.h"
#include "host/storage/client_io_ex.h"
#include "tests/support/backup_sets.h"
#include "tests/support/sample_data.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

// The digest is recomputed here with the library's one-shot function over
// the file as it lies on disk, apart from the client's streaming state.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

using json = nlohmann::json;

Client_IO_Base::Options options_for(int method, int level = 1) {
  Client_IO_Base::Options o;
  o.compression_method = method;
  o.compression_level = level;
  return o;
}

std::string file_digest(const std::string& bytes) {
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, XXH3_128bits(bytes.data(), bytes.size()));
  std::string hex;
  char two[3];
  for (unsigned char b : c.digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

// Stores data in uneven pieces through one client and leaves it connected.
bool store(Client_IO_Ex& io, const std::string& dir, const std::string& name, const std::string& data, int method) {
  if (!io.connect("file://" + dir, options_for(method)) || !io.open(name.c_str(), Client_IO_Ex::MODE_WRITE))
    return false;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min<std::size_t>(1000 + at % 7919, data.size() - at);
    if (io.write(data.data() + at, n) != static_cast<ssize_t>(n)) return false;
    at += n;
  }
  return io.close();
}

class StoredDigest : public ::testing::TestWithParam<int> {};

TEST_P(StoredDigest, CoversTheStoredBytesAndVerifies) {
  Temp_Dir tmp;
  const std::string data = mixed_sample(2 * 1024 * 1024 + 77);
  Client_IO_Ex io;
  ASSERT_TRUE(store(io, tmp.path(), "set.bin", data, GetParam())) << io.error();
  const std::string on_disk = read_file(tmp / "set.bin");
  ASSERT_EQ(on_disk.size(), io.storage_size());
  EXPECT_EQ(file_digest(on_disk), io.stored_digest());
  EXPECT_EQ(32u, io.stored_digest().size());
  EXPECT_EQ(std::string::npos, io.stored_digest().find_first_not_of("0123456789abcdef"));
  if (GetParam() == COMPR_NONE) {
    EXPECT_EQ(data, on_disk) << "the digest must not be stored in the file";
  }
  EXPECT_TRUE(io.verify("set.bin", io.storage_size(), io.stored_digest())) << io.error();
  EXPECT_TRUE(io.verify("set.bin", io.storage_size(), "")) << "records without a digest check size and frames";
}

TEST_P(StoredDigest, FlippedByteIsADigestMismatch) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  ASSERT_TRUE(store(io, tmp.path(), "set.bin", mixed_sample(600 * 1024), GetParam())) << io.error();
  const unsigned long long size = io.storage_size();
  const std::string digest = io.stored_digest();
  std::string bytes = read_file(tmp / "set.bin");
  bytes[bytes.size() / 2] ^= 0x10;
  ASSERT_TRUE(write_file(tmp / "set.bin", bytes));
  EXPECT_FALSE(io.verify("set.bin", size, digest));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("digest mismatch")) << io.error();
  EXPECT_NE(std::string::npos, std::string(io.error()).find("recorded " + digest)) << io.error();
}

TEST_P(StoredDigest, TruncatedFileIsASizeMismatch) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  ASSERT_TRUE(store(io, tmp.path(), "set.bin", mixed_sample(300 * 1024), GetParam())) << io.error();
  const unsigned long long size = io.storage_size();
  const std::string digest = io.stored_digest();
  ASSERT_EQ(0, ::truncate((tmp / "set.bin").c_str(), static_cast<off_t>(size - 5)));
  EXPECT_FALSE(io.verify("set.bin", size, digest));
  EXPECT_NE(std::string::npos,
            std::string(io.error()).find("size " + std::to_string(size - 5) + ", recorded " + std::to_string(size)))
      << io.error();
}

INSTANTIATE_TEST_SUITE_P(Methods, StoredDigest, ::testing::Values(COMPR_NONE, COMPR_ZSTD, COMPR_LZOP));

TEST(StoredDigestState, SetOnlyBySuccessfulCloseAfterWriting) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("file://" + tmp.path(), options_for(COMPR_ZSTD)));
  EXPECT_EQ("", io.stored_digest());
  ASSERT_TRUE(io.open("a", Client_IO_Ex::MODE_WRITE));
  ASSERT_EQ(5, io.write("hello", 5));
  EXPECT_EQ("", io.stored_digest()) << "no digest before the file is complete";
  ASSERT_TRUE(io.close());
  const std::string first = io.stored_digest();
  ASSERT_EQ(32u, first.size());

  // Same content, same digest: the state starts afresh for every file.
  ASSERT_TRUE(io.open("b", Client_IO_Ex::MODE_WRITE));
  ASSERT_EQ(5, io.write("hello", 5));
  ASSERT_TRUE(io.close());
  EXPECT_EQ(first, io.stored_digest());

  // A failed publication leaves no digest behind.
  ASSERT_EQ(0, ::unlink((tmp / "a").c_str()));
  ASSERT_TRUE(io.open("a", Client_IO_Ex::MODE_WRITE));
  ASSERT_EQ(5, io.write("other", 5));
  ASSERT_TRUE(write_file(tmp / "a", "someone else's")) << "the name is taken before close publishes it";
  EXPECT_FALSE(io.close());
  EXPECT_EQ("", io.stored_digest());

  // Reading clears it too.
  ASSERT_TRUE(io.open("b", Client_IO_Ex::MODE_READ));
  EXPECT_EQ("", io.stored_digest());
  EXPECT_FALSE(io.verify("b", 1, "")) << "not while a file is open";
  ASSERT_TRUE(io.close());
}

TEST(StoredDigestVerify, OldRecordStillFindsDamagedFramesAndMissingFiles) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  ASSERT_TRUE(store(io, tmp.path(), "set.zst", mixed_sample(400 * 1024), COMPR_ZSTD)) << io.error();
  const unsigned long long size = io.storage_size();
  std::string bytes = read_file(tmp / "set.zst");
  bytes[bytes.size() / 3] ^= 0x01;
  ASSERT_TRUE(write_file(tmp / "set.zst", bytes));
  EXPECT_FALSE(io.verify("set.zst", size, ""));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("is damaged")) << io.error();
  EXPECT_FALSE(io.verify("gone.zst", 10, ""));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("gone.zst")) << io.error();
}

TEST(ZstdFrames, CarryTheirContentChecksum) {
  Temp_Dir tmp;
  Client_IO_Ex io;
  ASSERT_TRUE(store(io, tmp.path(), "set.zst", mixed_sample(10000), COMPR_ZSTD)) << io.error();
  const std::string bytes = read_file(tmp / "set.zst");
  ASSERT_GT(bytes.size(), 5u);
  // Frame header descriptor, right after the magic number: bit 2 is the
  // content checksum flag.
  EXPECT_TRUE(static_cast<unsigned char>(bytes[4]) & 0x04);
}

TEST(CompressionSettings, UnknownNamesAndLevelsAreRefusedClearly) {
  Compression_Method m = COMPR_NONE;
  std::string err;
  EXPECT_TRUE(parse_compression_name("lzop", 4, m, err));
  EXPECT_EQ(COMPR_LZOP, m);
  EXPECT_TRUE(parse_compression_name("zstd", 4, m, err));
  EXPECT_EQ(COMPR_ZSTD, m);
  for (const char* bad : {"ZSTD", "zst", "", "gzip"}) {
    err.clear();
    EXPECT_FALSE(parse_compression_name(bad, std::strlen(bad), m, err)) << bad;
    EXPECT_EQ("unknown compression method '" + std::string(bad) + "': expected none, auto, lzop or zstd", err);
  }
  EXPECT_EQ(COMPR_ZSTD, m) << "a refused name leaves the method alone";

  EXPECT_TRUE(check_compression(COMPR_ZSTD, 0, err));
  EXPECT_TRUE(check_compression(COMPR_ZSTD, 22, err));
  EXPECT_TRUE(check_compression(COMPR_LZOP, 99, err)) << "lzop has no levels";
  EXPECT_FALSE(check_compression(COMPR_ZSTD, 23, err));
  EXPECT_NE(std::string::npos, err.find("level 23 is out of range")) << err;
  EXPECT_FALSE(check_compression(COMPR_AUTO, -1, err));
  EXPECT_FALSE(check_compression(7, 1, err));
  EXPECT_EQ("unknown compression method 7", err);

  Temp_Dir tmp;
  Client_IO_Ex io;
  EXPECT_FALSE(io.connect("file://" + tmp.path(), options_for(COMPR_ZSTD, 40)));
  EXPECT_NE(std::string::npos, std::string(io.error()).find("level 40")) << io.error();
  EXPECT_TRUE(io.connect("file://" + tmp.path(), options_for(COMPR_ZSTD, 19))) << io.error();
}

class StorageEntryRecords : public ::testing::Test {
 protected:
  Test_Sandbox sandbox_;
};

TEST_F(StorageEntryRecords, DigestIsStoredWhenKnownAndReadBack) {
  const std::string digest(32, 'a');
  Catalog_Operator cat(-1, 5);
  ASSERT_TRUE(register_file_pool("pool-1", sandbox_ / "pool"));
  ASSERT_TRUE(cat.commit(full_backup_set("new", Backup_Set_Storage("pool-1", 600, digest))));
  ASSERT_TRUE(cat.commit(full_backup_set("old", Backup_Set_Storage("pool-1", 700))));
  json r;
  ASSERT_TRUE(cat.get_view("oscar_brcmd", "catalogs", json::object(), r));
  ASSERT_EQ(2u, r["rows"].size());
  const json& fresh = r["rows"][0]["storages"][0];
  const json& old = r["rows"][1]["storages"][0];
  EXPECT_EQ((json{{"pool_uuid", "pool-1"}, {"size", 600}, {"digest", digest}}), fresh);
  EXPECT_EQ((json{{"pool_uuid", "pool-1"}, {"size", 700}}), old) << "no digest member when none is known";

  std::string err;
  Backup_Set_Storage back;
  ASSERT_TRUE(Backup_Set_Storage::from_json(fresh, back, err)) << err;
  EXPECT_EQ("pool-1", back.pool_uuid());
  EXPECT_EQ(600u, back.size());
  EXPECT_EQ(digest, back.digest());
  ASSERT_TRUE(Backup_Set_Storage::from_json(old, back, err)) << err;
  EXPECT_EQ(700u, back.size());
  EXPECT_EQ("", back.digest());
}

TEST(StorageEntryJson, MalformedEntriesAreRefused) {
  Backup_Set_Storage out("kept", 1);
  std::string err;
  const json bad[] = {
      json::array(),
      {{"size", 1}},
      {{"pool_uuid", "p"}, {"size", -1}},
      {{"pool_uuid", "p"}, {"size", "1"}},
      {{"pool_uuid", "p"}, {"size", 1}, {"digest", std::string(31, 'a')}},
      {{"pool_uuid", "p"}, {"size", 1}, {"digest", std::string(32, 'A')}},
      {{"pool_uuid", "p"}, {"size", 1}, {"digest", 5}},
  };
  for (const json& element : bad) {
    err.clear();
    EXPECT_FALSE(Backup_Set_Storage::from_json(element, out, err)) << element.dump();
    EXPECT_FALSE(err.empty());
  }
  EXPECT_EQ("kept", out.pool_uuid());
}

}  // namespace
