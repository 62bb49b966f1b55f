// oscar-agent with encrypted pools: pool add takes a cipher and its key
// file (or refuses them with one line, storing nothing), and a backup chain
// stored through an encrypted pool restores byte for byte, while the key
// shows nowhere but in the pool registry.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/catalog/catalog_operator.h"
#include "host/storage/storage_cipher.h"
#include "tests/support/backup_sets.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const std::string KEY = "6f1c0e2a9b8d7c6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d8e7f6a5b4c3d2e";

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class AgentPoolCipher : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), agent_program());
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 120000);
  }

  // A key file holding text, with the given mode.
  std::string key_file(const std::string& text, mode_t mode = 0600) {
    const std::string path = sandbox_ / "key";
    EXPECT_TRUE(write_file(path, text));
    EXPECT_EQ(0, ::chmod(path.c_str(), mode));
    return path;
  }

  Run_Result add_pool(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"pool", "add", "p1", "--url", "file://" + pool_dir_};
    args.insert(args.end(), extra.begin(), extra.end());
    return agent(args);
  }
  Run_Result set_pool(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"pool", "set", "p1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return agent(args);
  }

  nlohmann::json pools() { return nlohmann::json::parse(read_file(state_ + "/pools.json"), nullptr, false); }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  const std::string pool_dir_ = sandbox_ / "pool";
};

TEST_F(AgentPoolCipher, PoolAddRefusesBadCipherSettingsWithOneLine) {
  const struct {
    std::string key_text;
    mode_t mode;
    std::vector<std::string> options;  // "@" stands for the key file
    const char* message;
  } cases[] = {
      {KEY, 0600, {"--cipher", "aes-128-cbc", "--cipher-key-file", "@"}, "unknown cipher \"aes-128-cbc\""},
      {KEY, 0600, {"--cipher", "aes-256-gcm"}, "needs --cipher-key-file"},
      {KEY, 0600, {"--cipher-key-file", "@"}, "--cipher-key-file needs --cipher aes-256-gcm"},
      {KEY, 0600, {"--cipher", "aes-256-gcm", "--cipher-key-file", "/nonexistent/key"}, "cannot open the cipher key"},
      {KEY,
       0644,
       {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"},
       "has mode 0644, open to other users: chmod 600"},
      {KEY,
       0640,
       {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"},
       "has mode 0640, open to other users: chmod 600"},
      {KEY.substr(1), 0600, {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"}, "must hold 64 hexadecimal digits"},
      {KEY + KEY, 0600, {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"}, "must hold 64 hexadecimal digits"},
      {"z" + KEY.substr(1), 0600, {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"}, "64 hexadecimal digits"},
      {" " + KEY, 0600, {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"}, "must hold 64 hexadecimal digits"},
      {KEY, 0600, {"--zstd-workers", "many"}, "zstd workers 'many'"},
      {KEY, 0600, {"--zstd-workers", "-2"}, "zstd workers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string file = key_file(c.key_text, c.mode);
    std::vector<std::string> options = c.options;
    std::replace(options.begin(), options.end(), std::string("@"), file);
    const Run_Result r = add_pool(options);
    EXPECT_EQ(2, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "pool add: ")) << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_FALSE(contains(r.out + r.err, KEY.substr(0, 16)));
    EXPECT_TRUE(read_file(state_ + "/pools.json").empty()) << "nothing may be stored";
  }
}

TEST_F(AgentPoolCipher, PoolAddKeepsTheKeyInTheRegistryOnly) {
  const Run_Result r =
      add_pool({"--cipher", "aes-256-gcm", "--cipher-key-file", key_file(KEY + "\n"), "--zstd-workers", "2"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(contains(r.out + r.err, KEY.substr(0, 16)));
  const nlohmann::json reg = pools();
  ASSERT_TRUE(reg.is_object());
  EXPECT_EQ("aes-256-gcm", reg["pools"][0]["cipher"]);
  EXPECT_EQ(KEY, reg["pools"][0]["key"]);
  EXPECT_EQ("2", reg["pools"][0]["ext_attrs"]["zstd_workers"]);
  struct stat st;
  ASSERT_EQ(0, ::stat((state_ + "/pools.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // Set to no cipher, the pool stores in the clear.
  ASSERT_EQ(0, set_pool({"--cipher", "none"}).status);
  EXPECT_EQ("", pools()["pools"][0]["cipher"]);
  EXPECT_FALSE(contains(read_file(state_ + "/pools.json"), KEY));
}

// The cipher settings and the URL of a pool that holds catalogued sets are
// what its sets can be read with: pool set may not change them, while a
// pool without sets may take any form. pool add never replaces a pool.
TEST_F(AgentPoolCipher, PoolSetKeepsTheCipherAndUrlOfAPoolThatHoldsSets) {
  const std::string key = key_file(KEY);
  const std::vector<std::string> cipher = {"--cipher", "aes-256-gcm", "--cipher-key-file", key};
  ASSERT_EQ(0, add_pool(cipher).status);
  Run_Result r = set_pool({"--cipher", "none"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("pool p1 updated (cipher)\n", r.out);
  EXPECT_EQ("", pools()["pools"][0]["cipher"]);
  ASSERT_EQ(0, set_pool(cipher).status);
  r = add_pool({});
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_EQ("oscar-agent: pool add: pool p1 exists; pool set p1 changes its settings\n", r.err);
  const std::string before = read_file(state_ + "/pools.json");
  const std::string uuid = pools()["pools"][0]["uuid"];
  for (const char* id : {"set-a", "set-b", "set-c", "set-d"}) {
    Oscar_Brcmd_Backup_Set set = full_backup_set(id, Backup_Set_Storage(uuid, 10));
    ASSERT_TRUE(Catalog_Operator(-1, 5).commit(set));
  }

  const std::string other_key = sandbox_ / "other.key";
  ASSERT_TRUE(write_private_file(other_key, std::string(KEY.rbegin(), KEY.rend())));
  const std::vector<std::string> changes[] = {
      {"--cipher", "none"},
      {"--cipher", "aes-256-gcm", "--cipher-key-file", other_key},
  };
  for (const auto& change : changes) {
    r = set_pool(change);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "pool p1 holds 4 catalogued sets (set-a, set-b, set-c, ...)")) << r.err;
    EXPECT_TRUE(contains(r.err, "cipher")) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_EQ(before, read_file(state_ + "/pools.json"));
  }
  r = set_pool({"--url", "file://" + sandbox_ / "elsewhere"});
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_TRUE(contains(r.err, "its url cannot change")) << r.err;
  EXPECT_EQ(before, read_file(state_ + "/pools.json"));

  // The same cipher, key and URL: other settings may still change.
  r = set_pool({"--zstd-workers", "2"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("pool p1 updated (zstd-workers)\n", r.out);
  EXPECT_EQ(KEY, pools()["pools"][0]["key"]);
  EXPECT_EQ("2", pools()["pools"][0]["ext_attrs"]["zstd_workers"]);
}

// A full, an incremental and a differential backup (one per compression
// method) into an encrypted pool, checked and restored: the data files are
// those of the last backup, every stored set is encrypted, and the key is
// in no output, job log, catalogue or state file but the pool registry.
TEST_F(AgentPoolCipher, BackupAndRestoreThroughAnEncryptedPool) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Enc-pass-5d1");
  ASSERT_TRUE(home.start());
  write_private_file(sandbox_ / "pw", home.password());
  Run_Result r =
      agent({"instance", "add", "DB1", "--home", home.root(), "--user", "sysdba", "--password-file", sandbox_ / "pw"});
  ASSERT_EQ(0, r.status) << r.err;
  r = add_pool({"--cipher", "aes-256-gcm", "--cipher-key-file", key_file(KEY)});
  ASSERT_EQ(0, r.status) << r.err;

  std::string printed = r.out + r.err;
  r = agent({"backup", "DB1", "--type", "full", "--pool", "p1", "--compression", "zstd", "--timeout", "120"});
  if (r.status != 0 && contains(r.err, "the module made no job"))
    GTEST_SKIP() << "the module has no physical backup job yet";
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  ASSERT_EQ(0, home.admin("touch").status);
  r = agent({"backup", "DB1", "--type", "incr", "--pool", "p1", "--compression", "lzop", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  ASSERT_EQ(0, home.admin("touch").status);
  r = agent({"backup", "DB1", "--type", "diff", "--pool", "p1", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  const std::string at_backup = home.checksum();
  ASSERT_FALSE(at_backup.empty());

  const std::vector<std::string> stored = files_under(pool_dir_);
  ASSERT_FALSE(stored.empty());
  for (const std::string& f : stored) {
    const std::string head = read_file(f).substr(0, ENCRYPTED_MAGIC_SIZE);
    EXPECT_TRUE(is_encrypted_storage(head.data(), head.size())) << f;
  }

  r = agent({"verify", "DB1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, " ok\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "MISMATCH")) << r.out;
  printed += r.out + r.err;

  ASSERT_EQ(0, home.admin("touch").status);
  ASSERT_NE(at_backup, home.checksum());
  r = agent({"restore", "DB1", "--force", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  EXPECT_EQ(at_backup, home.checksum());

  r = agent({"catalog", "DB1", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  printed += r.out + r.err;

  // The key, in either letter case, nowhere but in pools.json.
  std::string upper = KEY;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_FALSE(contains(printed, KEY) || contains(printed, upper));
  std::size_t logs = 0;
  for (const std::string& f : files_under(state_)) {
    if (f == state_ + "/pools.json") continue;
    logs += contains(f, "/logs/");
    const std::string text = read_file(f);
    EXPECT_FALSE(contains(text, KEY) || contains(text, upper)) << f;
  }
  EXPECT_GT(logs, 0u) << "the jobs' logs were searched";
}

// A pool record whose key is not a key fails the job at its storage
// connection, storing nothing.
TEST_F(AgentPoolCipher, BackupThroughAPoolWithADamagedKeyStoresNothing) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Enc-pass-77a");
  ASSERT_TRUE(home.start());
  write_private_file(sandbox_ / "pw", home.password());
  ASSERT_EQ(0, agent({"instance", "add", "DB1", "--home", home.root(), "--user", "sysdba", "--password-file",
                      sandbox_ / "pw"})
                   .status);
  ASSERT_EQ(0, add_pool({"--cipher", "aes-256-gcm", "--cipher-key-file", key_file(KEY)}).status);
  nlohmann::json reg = pools();
  reg["pools"][0]["key"] = KEY.substr(0, 40);
  ASSERT_TRUE(write_file(state_ + "/pools.json", reg.dump()));

  const Run_Result r = agent({"backup", "DB1", "--type", "full", "--pool", "p1", "--timeout", "120"});
  if (r.status != 0 && contains(r.err, "the module made no job"))
    GTEST_SKIP() << "the module has no physical backup job yet";
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out + r.err, "storage connection failed")) << r.out << r.err;
  EXPECT_FALSE(contains(r.out + r.err, KEY.substr(0, 40)));
  EXPECT_TRUE(files_under(pool_dir_).empty());
  const Run_Result listing = agent({"catalog", "DB1", "--json"});
  EXPECT_EQ(nlohmann::json::array(),
            nlohmann::json::parse(listing.out, nullptr, false).value("backups", nlohmann::json()))
      << listing.out;
}

}  // namespace
