#include <gtest/gtest.h>
#include <sys/stat.h>

#include <new>
#include <string>

#include "client_io/util.h"
#include "host/services/host_manager.h"
#include "host/storage/pool_info.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

Rate_Control_Entry limit(unsigned long long bps) {
  Rate_Control_Entry e;
  e.max_bytes_per_second = bps;
  return e;
}

TEST(StorageOptions, JobDefinitionSetsRetryResumptionAndLimits) {
  Job_Definition def;
  def.max_seconds_retry(120);
  def.resumption_buffer_size(1 << 20);
  def.max_rate_limits({limit(1000), limit(0)});
  Client_IO_Base::Options o;
  ASSERT_TRUE(set_options_by_job_def(o, &def, 1));
  EXPECT_EQ(120, o.max_seconds_retry);
  EXPECT_EQ(1u << 20, o.resumption_buffer_size);
  ASSERT_EQ(2u, o.rate_control_entries.size());
  EXPECT_EQ(1000u, o.rate_control_entries[0].max_bytes_per_second);
  ASSERT_TRUE(set_options_by_job_def(o, &def, 3));
  EXPECT_EQ(334u, o.rate_control_entries[0].max_bytes_per_second);
  EXPECT_EQ(0u, o.rate_control_entries[1].max_bytes_per_second);
  EXPECT_FALSE(set_options_by_job_def(o, nullptr, 1));
}

// The storage options and the pool record hold the cipher key and the S3
// secret: a copy that goes leaves neither behind, not even a short one kept
// inside the object.
TEST(StorageOptions, SecretsAreWipedWhenOptionsAndPoolRecordsGo) {
  const std::string secret = "s3-5ecret";
  auto holds = [&](const unsigned char* raw, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(raw), n).find(secret) != std::string::npos;
  };
  alignas(Client_IO_Base::Options) unsigned char options_raw[sizeof(Client_IO_Base::Options)];
  auto* options = new (options_raw) Client_IO_Base::Options;
  options->s3_secret_access_key = secret;
  options->key = secret;
  ASSERT_TRUE(holds(options_raw, sizeof options_raw));
  options->~Options();
  EXPECT_FALSE(holds(options_raw, sizeof options_raw));

  alignas(Pool_Info) unsigned char pool_raw[sizeof(Pool_Info)];
  auto* pool = new (pool_raw) Pool_Info;
  pool->s3_secret_access_key = secret;
  pool->key = secret;
  ASSERT_TRUE(holds(pool_raw, sizeof pool_raw));
  pool->~Pool_Info();
  EXPECT_FALSE(holds(pool_raw, sizeof pool_raw));
}

TEST(StorageOptions, RateLimitsAreSharedOutOverChannelsRoundingUp) {
  Rate_Control_Entries e = {limit(10), limit(9), limit(1)};
  set_rate_limits_by_channels(e, 0);
  set_rate_limits_by_channels(e, 1);
  EXPECT_EQ(10u, e[0].max_bytes_per_second);
  set_rate_limits_by_channels(e, 2);
  EXPECT_EQ(5u, e[0].max_bytes_per_second);
  EXPECT_EQ(5u, e[1].max_bytes_per_second);
  EXPECT_EQ(1u, e[2].max_bytes_per_second);
}

TEST(StorageOptions, HostKeyGoesIntoTheAccessKeyHeader) {
  Host_Manager* host = Host_Manager::instance();
  const char* header = host->http_head_string(Host_Manager::HTTP_HEAD_ACCESS_KEY);
  ASSERT_NE(nullptr, header);
  host->access_key("agent-key");
  host->node_access_key("node-key");
  host->on_backupd(false);
  Client_IO_Base::Options o;
  ASSERT_TRUE(set_options_by_host(o));
  EXPECT_EQ("agent-key", o.extra_options[header]);
  host->on_backupd(true);
  ASSERT_TRUE(set_options_by_host(o));
  EXPECT_EQ("node-key", o.extra_options[header]);
  host->on_backupd(false);
  EXPECT_TRUE(set_http_head_to_options(o, 9999, "ignored"));
  EXPECT_EQ(1u, o.extra_options.size());
}

class Pools : public ::testing::Test {
 protected:
  Test_Sandbox sandbox_;
};

TEST_F(Pools, AddedPoolIsFoundWithItsSettings) {
  Pool_Info p;
  p.uuid = "pool-1";
  p.name = "local";
  p.url = "file://" + sandbox_ / "storage";
  p.ext_attrs = {{"chunk", 4}, {"tier", "fast"}};
  p.node_addrs = {"10.0.0.1"};
  p.preferred_source_address = "10.0.0.9";
  ASSERT_TRUE(add_pool(p));
  p.name = "renamed";
  ASSERT_TRUE(add_pool(p));
  struct stat st;
  ASSERT_EQ(0, ::stat(pool_registry_path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  Pool_Info got;
  ASSERT_TRUE(get_pool_info("pool-1", "any-device", got, false, 0, nullptr));
  EXPECT_EQ("renamed", got.name);
  EXPECT_EQ(p.url, got.url);
  EXPECT_TRUE(got.device_exists);
  EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, got.node_addrs);
  // The storage directory does not exist yet: a restore is refused.
  EXPECT_FALSE(get_pool_info("pool-1", nullptr, got, true, 0, nullptr));
  EXPECT_FALSE(get_pool_info("pool-2", nullptr, got, false, 0, nullptr));
  EXPECT_FALSE(get_pool_info("", nullptr, got, false, 0, nullptr));

  Client_IO_Base::Options o;
  ASSERT_TRUE(set_options_by_pool(o, got));
  EXPECT_EQ("4", o.extra_options["chunk"]);
  EXPECT_EQ("fast", o.extra_options["tier"]);
  EXPECT_EQ("10.0.0.9", o.extra_options["preferred_source_address"]);
}

TEST_F(Pools, AnS3PoolCarriesItsServiceAndKeysToTheStorageOptions) {
  Pool_Info p;
  p.uuid = "pool-s3";
  p.url = "s3://bucket/backups";
  p.s3_endpoint = "http://127.0.0.1:9000";
  p.s3_region = "eu-west-1";
  p.s3_access_key_id = "AKID";
  p.s3_secret_access_key = "s3cr3t";
  ASSERT_TRUE(add_pool(p));
  Pool_Info got;
  ASSERT_TRUE(get_pool_info("pool-s3", nullptr, got, true, 0, nullptr)) << "no directory to check for S3";
  Client_IO_Base::Options o;
  ASSERT_TRUE(set_options_by_pool(o, got));
  EXPECT_EQ("http://127.0.0.1:9000", o.s3_endpoint);
  EXPECT_EQ("eu-west-1", o.s3_region);
  EXPECT_EQ("AKID", o.s3_access_key_id);
  EXPECT_EQ("s3cr3t", o.s3_secret_access_key);
  EXPECT_TRUE(o.extra_options.empty()) << "the secret is no transport header";
}

TEST_F(Pools, MalformedRegistryAndBadSettingsFail) {
  ASSERT_TRUE(write_file(sandbox_.state_file("pools.json"),
                         "{\"pools\": [{\"uuid\": \"p\", \"url\": 5, \"multidevice\": \"x\"}"));
  Pool_Info got;
  EXPECT_FALSE(get_pool_info("p", nullptr, got, false, 0, nullptr));
  ASSERT_TRUE(write_file(sandbox_.state_file("pools.json"),
                         "{\"pools\": [{\"uuid\": \"p\", \"url\": 5, \"multidevice\": \"x\"}]}"));
  EXPECT_FALSE(get_pool_info("p", nullptr, got, false, 0, nullptr));
  Pool_Info bad;
  bad.uuid = "b";
  bad.url = "file:///x";
  bad.ext_attrs = {{"nested", {{"a", 1}}}};
  Client_IO_Base::Options o;
  EXPECT_FALSE(set_options_by_pool(o, bad));
  bad.url.clear();
  EXPECT_FALSE(set_options_by_pool(o, bad));
  EXPECT_FALSE(add_pool(bad));
}

TEST_F(Pools, DeviceListDecidesDeviceExists) {
  ASSERT_TRUE(write_file(sandbox_.state_file("pools.json"),
                         "{\"pools\": [{\"uuid\": \"p\", \"url\": \"file:///x\", \"devices\": [\"d1\"]}]}"));
  Pool_Info got;
  ASSERT_TRUE(get_pool_info("p", "d1", got, false, 0, nullptr));
  EXPECT_TRUE(got.device_exists);
  ASSERT_TRUE(get_pool_info("p", "d2", got, false, 0, nullptr));
  EXPECT_FALSE(got.device_exists);
}

TEST_F(Pools, RemovedPoolLeavesTheOthersAndItsStorage) {
  for (const char* id : {"pool-1", "pool-2", "pool-3"}) {
    Pool_Info p;
    p.uuid = id;
    p.name = std::string("name-") + id;
    p.url = "file://" + sandbox_ / id;
    ASSERT_TRUE(add_pool(p));
  }
  ASSERT_EQ(0, ::mkdir((sandbox_ / "pool-2").c_str(), 0700));
  ASSERT_TRUE(write_file(sandbox_ / "pool-2/set", "bytes"));
  EXPECT_EQ(1, remove_pool("pool-2"));
  EXPECT_EQ(0, remove_pool("pool-2"));
  EXPECT_EQ(0, remove_pool("pool-9"));

  std::vector<Pool_Info> pools;
  ASSERT_TRUE(list_pools(pools));
  ASSERT_EQ(2u, pools.size());
  EXPECT_EQ("pool-1", pools[0].uuid);
  EXPECT_EQ("name-pool-3", pools[1].name);
  EXPECT_EQ("file://" + sandbox_ / "pool-3", pools[1].url);
  Pool_Info got;
  EXPECT_FALSE(get_pool_info("pool-2", nullptr, got, false, 0, nullptr));
  EXPECT_EQ("bytes", read_file(sandbox_ / "pool-2/set"));
  struct stat st;
  ASSERT_EQ(0, ::stat(pool_registry_path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(Pools, ListingAMissingRegistryIsEmptyAndAMalformedOneFails) {
  std::vector<Pool_Info> pools(1);
  ASSERT_TRUE(list_pools(pools));
  EXPECT_TRUE(pools.empty());
  ASSERT_TRUE(write_file(sandbox_.state_file("pools.json"), "{\"pools\": 3}"));
  EXPECT_FALSE(list_pools(pools));
  EXPECT_EQ(-1, remove_pool("p"));
  EXPECT_EQ("{\"pools\": 3}", read_file(sandbox_.state_file("pools.json")));
}

}  // namespace
