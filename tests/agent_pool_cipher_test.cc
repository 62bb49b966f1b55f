// oscar-agent with encrypted pools: pool add takes a cipher and its key
// file (or refuses them with one line, storing nothing) and keeps the key in
// the pool registry only.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tests/support/sim_home.h"
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
      {KEY, 0644, {"--cipher", "aes-256-gcm", "--cipher-key-file", "@"}, "is accessible to every user"},
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

  // Registered again without a cipher, the pool stores in the clear.
  ASSERT_EQ(0, add_pool({}).status);
  EXPECT_EQ("", pools()["pools"][0]["cipher"]);
  EXPECT_FALSE(contains(read_file(state_ + "/pools.json"), KEY));
}

}  // namespace
