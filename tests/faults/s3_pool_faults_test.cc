// Backups, restores, exports and imports through an S3 pool: the agent run
// as a program against the simulator, the pool on an S3-compatible server
// on the loopback.

#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "host/catalog/set_manifest.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/s3_client.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/catalogue_records.h"
#include "tests/support/s3_server.h"

namespace {

const char PREFIX[] = "backups/db";

class S3Pool : public FaultSuite {
 protected:
  void SetUp() override {
    FaultSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(s3_.running()) << s3_.error();
    ASSERT_TRUE(write_file(tmp_ / "s3.keys",
                           std::string(S3_Server::ACCESS_KEY_ID) + "\n" + S3_Server::SECRET_ACCESS_KEY + "\n"));
    ASSERT_EQ(0, ::chmod((tmp_ / "s3.keys").c_str(), 0600));
    // p1 becomes an S3 pool: every job of the fixture goes there.
    const Run_Result r = agent({"pool", "set", "p1", "--url", "s3://" + s3_.bucket() + "/" + PREFIX, "--endpoint",
                                s3_.endpoint(), "--key-file", tmp_ / "s3.keys"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "pool p1 updated")) << r.out;
  }

  // The catalogue's records of DB1, oldest first.
  nlohmann::json rows() { return catalogue_records(state_); }
  // The bucket's objects: the sets' files, or (`manifests`) their manifests.
  std::vector<std::string> objects(bool manifests = false) const {
    std::vector<std::string> out;
    const std::string suffix = "._S3rver_object";  // how s3rver stores an object's key
    for (const std::string& o : s3_.objects())
      if (is_manifest_name(o.substr(0, o.size() - suffix.size())) == manifests) out.push_back(o);
    return out;
  }
  // The stored parts of unfinished uploads (not their key and metadata
  // files): present once a part has been stored.
  std::vector<std::string> upload_parts() const {
    std::vector<std::string> out;
    for (const std::string& f : s3_.bucket_files())
      if (f.find("._S3rver_uploads/") != std::string::npos && f.find("/key") == std::string::npos &&
          f.find("/metadata") == std::string::npos)
        out.push_back(f);
    return out;
  }

  S3_Server s3_{tmp_ / "s3"};
};

TEST_F(S3Pool, FullIncrementalAndDifferentialRestoreByteForByte) {
  std::vector<std::string> sums;
  ASSERT_EQ(0, backup("full").status);
  sums.push_back(data_checksum());
  ASSERT_EQ(0, home_.admin("touch").status);
  Run_Result r = backup("incr", {"--compression", "zstd"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  sums.push_back(data_checksum());
  ASSERT_EQ(0, home_.admin("touch").status);
  r = backup("diff", {"--compression", "lzop"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  sums.push_back(data_checksum());
  ASSERT_EQ(0, home_.admin("touch").status);

  const nlohmann::json all = rows();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(3u, objects().size()) << "one object per set";
  EXPECT_EQ(3u, objects(true).size()) << "one manifest per set";
  EXPECT_TRUE(upload_parts().empty());
  EXPECT_TRUE(pool_files().empty()) << "nothing went to the file pool";
  r = agent({"verify", "DB1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  for (const auto& row : all) EXPECT_TRUE(contains(r.out, row.at("backup_id").get<std::string>() + " ")) << r.out;

  for (std::size_t i = 0; i < all.size(); ++i) {
    r = restore(all[i].at("backup_id").get<std::string>());
    ASSERT_EQ(0, r.status) << i << ": " << r.out << r.err;
    EXPECT_EQ(sums[i], data_checksum()) << "restore of set " << i;
  }
  EXPECT_TRUE(server_running());
}

TEST_F(S3Pool, ExportAndImportThroughTheBucket) {
  ASSERT_EQ(0, home_.admin("create-table", {"SALES.ITEMS", "--rows", "300"}).status);
  const std::string items = home_.admin("table-checksum", {"SALES.ITEMS"}).out;
  ASSERT_FALSE(items.empty());
  Run_Result r = agent({"export", "DB1", "--pool", "p1", "--entries", "DB1/SALES/ITEMS", "--compression", "zstd"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  std::string point;
  for (const auto& row : rows())
    if (row.value("type", std::string()) == "export") point = row.at("backup_id").get<std::string>();
  ASSERT_FALSE(point.empty());
  EXPECT_EQ(2u, objects().size()) << "the export set's data and catalogue files";
  EXPECT_EQ(1u, objects(true).size()) << "and its manifest";
  EXPECT_TRUE(pool_files().empty());

  ASSERT_EQ(0, home_.admin("drop", {"SALES.ITEMS"}).status);
  EXPECT_NE(items, home_.admin("table-checksum", {"SALES.ITEMS"}).out);
  r = agent({"import", "DB1", "--point", point});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(items, home_.admin("table-checksum", {"SALES.ITEMS"}).out);
}

TEST_F(S3Pool, SetRemovedFromTheBucketRefusesTheRestoreBeforeTheInstanceStops) {
  ASSERT_EQ(0, backup("full").status);
  ASSERT_EQ(0, home_.admin("touch").status);
  const std::string changed = data_checksum();
  const nlohmann::json row = rows().at(0);
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect("s3://" + s3_.bucket() + "/" + PREFIX + "/" + row.at("uri").get<std::string>(), s3_.options()))
      << io.error();
  const std::string file = row.at("backup_file").get<std::string>();
  ASSERT_EQ(1, io.exists(file.c_str())) << io.error();
  ASSERT_TRUE(io.remove(file.c_str())) << io.error();
  ASSERT_TRUE(objects().empty());

  const Run_Result r = restore();
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(has_alert(r, 14)) << r.err;
  EXPECT_TRUE(contains(r.err, "Failed to open file " + file + ": cannot look up storage file s3://")) << r.err;
  EXPECT_TRUE(contains(r.err, "no such object")) << r.err;
  EXPECT_TRUE(server_running()) << "the check comes before the instance is stopped";
  EXPECT_EQ(changed, data_checksum());
}

TEST_F(S3Pool, PoolCleanRemovesAnOrphanObjectAndSaysThatUploadsAreNotListed) {
  ASSERT_EQ(0, backup("full").status);
  const std::string uri = rows().at(0).at("uri").get<std::string>();
  const std::string base = "s3://" + s3_.bucket() + "/" + PREFIX + "/";
  // A crash between a set's object and its manifest, and another host's.
  for (const std::string& folder : {uri, std::string("7d1f0c55-8a43-4a3e-b7f2-2b91c0d4e5a6/d1")}) {
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect(base + folder, s3_.options()) && io.open("X1.bak", Client_IO_Ex::MODE_WRITE)) << io.error();
    ASSERT_EQ(5, io.write("stray", 5));
    ASSERT_TRUE(io.close()) << io.error();
  }
  // A writer that died inside a multipart upload.
  S3_Config config;
  config.endpoint = s3_.endpoint();
  config.access_key_id = S3_Server::ACCESS_KEY_ID;
  config.secret_access_key = S3_Server::SECRET_ACCESS_KEY;
  config.bucket = s3_.bucket();
  S3_Client client(config);
  S3_Response answer;
  const std::string key = std::string(PREFIX) + "/" + uri + "/Z1.bak";
  ASSERT_TRUE(client.request("POST", key, {{"uploads", ""}}, {}, nullptr, 0, answer)) << answer.describe();
  const std::string upload = s3_xml_value(answer.body, "UploadId");
  ASSERT_TRUE(client.request("PUT", key, {{"partNumber", "1"}, {"uploadId", upload}}, {}, "part", 4, answer))
      << answer.describe();
  ASSERT_EQ(3u, objects().size());

  // A removal the service refuses is reported and fails the run.
  ASSERT_TRUE(s3_.fail_next("delete", 100, "500"));
  Run_Result r = agent({"pool", "clean", "p1", "--older-than", "0"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "cannot remove p1:" + uri + "/X1.bak (orphan set file, 5 bytes): ")) << r.out;
  EXPECT_TRUE(contains(r.out, "clean p1: 0 removed (0 bytes), 1 failed")) << r.out;
  EXPECT_EQ(3u, objects().size());
  ASSERT_TRUE(s3_.fail_next("delete", 0, "500"));

  r = agent({"pool", "clean", "p1", "--older-than", "0"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "removed p1:" + uri + "/X1.bak (orphan set file, ")) << r.out;
  // s3rver answers ListMultipartUploads with NotImplemented: said, not faked.
  EXPECT_TRUE(contains(r.out,
                       "pool p1: unfinished multipart uploads not looked for: the service does not offer "
                       "their listing ("))
      << r.out;
  EXPECT_TRUE(contains(r.out, "clean p1: 1 removed")) << r.out;
  EXPECT_EQ(2u, objects().size()) << "the set's object and the other host's orphan";
  EXPECT_EQ(1u, objects(true).size()) << "the set's manifest";
  EXPECT_FALSE(upload_parts().empty());
  EXPECT_EQ(0, agent({"verify", "--pool", "p1"}).status);
}

// A database large enough for a set of several parts, streamed slowly
// enough that the server can be stopped while the upload runs.
class S3PoolLarge : public S3Pool {
 protected:
  S3PoolLarge() { init_options_ = {"--size", "24M"}; }
};

TEST_F(S3PoolLarge, ServerStoppedDuringTheUploadFailsTheBackupAndCataloguesNothing) {
  Run_Result r;
  std::thread run([&] { r = backup("full", {}, {"OSCAR_SIM_BRCMD_FAULT=slow=10"}); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (upload_parts().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const bool uploading = !upload_parts().empty();
  s3_.stop();
  run.join();
  ASSERT_TRUE(uploading) << "no part was seen";
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "s3://" + s3_.bucket() + "/" + PREFIX)) << r.err;
  EXPECT_TRUE(objects().empty());
  EXPECT_EQ(0u, catalogued_sets());
  EXPECT_TRUE(server_running()) << "a failed backup starts the instance again";
  EXPECT_TRUE(fifos().empty());
  EXPECT_TRUE(tools_left().empty());
}

}  // namespace
