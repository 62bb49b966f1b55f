// oscar-agent pool add for S3 pools, run as a program against an
// S3-compatible server on the loopback: the registered record, the check of
// the bucket and keys, and every refusal as one line with nothing
// registered.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/s3_server.h"
#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

const char* const SECRET = S3_Server::SECRET_ACCESS_KEY;

class AgentS3Pool : public S3_Server_Test {
 protected:
  void SetUp() override {
    S3_Server_Test::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(server_.write_key_file(keys_));
  }

  static bool write_keys(const std::string& path, const std::string& text, mode_t mode) {
    return write_file(path, text) && ::chmod(path.c_str(), mode) == 0;
  }
  Run_Result pool_add(std::vector<std::string> args) {
    args.insert(args.begin(), {OSCAR_BUILD_DIR "/agent/oscar-agent", "pool", "add"});
    args.insert(args.end(), {"--state", state_});
    return run_program(args, {}, 60000);
  }
  std::vector<std::string> s3_args(const std::string& name, const std::string& url, const std::string& keys) {
    return {name, "--url", url, "--endpoint", server_.endpoint(), "--key-file", keys};
  }
  nlohmann::json pools() {
    const nlohmann::json reg = nlohmann::json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    return reg.is_object() && reg.contains("pools") ? reg["pools"] : nlohmann::json::array();
  }
  // One line on stderr naming `what`, nothing on stdout, no pool "bad".
  void expect_refused(const Run_Result& r, int status, const std::string& what) {
    EXPECT_EQ(status, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find(what)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(std::string::npos, r.err.find(SECRET));
    for (const auto& p : pools()) EXPECT_NE("bad", p.value("name", std::string())) << what;
  }

  std::string state_ = tmp_ / "state";
  std::string keys_ = tmp_ / "s3.keys";
};

TEST_F(AgentS3Pool, RegistersThePoolWithItsServiceAndKeepsTheSecretOutOfSight) {
  std::vector<std::string> args = s3_args("remote", "s3://" + server_.bucket() + "/backups/", keys_);
  args.insert(args.end(), {"--region", "eu-central-1"});
  Run_Result r = pool_add(args);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("pool remote added")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(server_.endpoint())) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(SECRET));
  EXPECT_EQ(std::string::npos, r.err.find(SECRET));
  const nlohmann::json all = pools();
  ASSERT_EQ(1u, all.size());
  EXPECT_EQ("s3://" + server_.bucket() + "/backups/", all[0].value("url", std::string()));
  EXPECT_EQ(server_.endpoint(), all[0].value("s3_endpoint", std::string()));
  EXPECT_EQ("eu-central-1", all[0].value("s3_region", std::string()));
  EXPECT_EQ(S3_Server::ACCESS_KEY_ID, all[0].value("s3_access_key_id", std::string()));
  EXPECT_EQ(SECRET, all[0].value("s3_secret_access_key", std::string()));
  struct stat st;
  ASSERT_EQ(0, ::stat((state_ + "/pools.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // pool set moves it (it holds no sets) and tries the service again;
  // a file:// pool still needs none of the S3 options.
  std::vector<std::string> set = {OSCAR_BUILD_DIR "/agent/oscar-agent",  "pool",    "set", "remote", "--url",
                                  "s3://" + server_.bucket() + "/other", "--state", state_};
  r = run_program(set, {}, 60000);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("pool remote updated (url)\n", r.out);
  set.insert(set.end(), {"--endpoint", "http://127.0.0.1:1"});
  r = run_program(set, {}, 60000);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("pool set: the endpoint http://127.0.0.1:1 does not answer")) << r.err;
  r = pool_add({"local", "--url", "file://" + tmp_.path() + "/pool"});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(2u, pools().size());
  EXPECT_EQ("s3://" + server_.bucket() + "/other", pools()[0].value("url", std::string()));
  EXPECT_EQ("", pools()[1].value("s3_endpoint", std::string()));
}

TEST_F(AgentS3Pool, BadInputIsRefusedInOneLineAndNothingIsRegistered) {
  const std::string url = "s3://" + server_.bucket() + "/p";
  expect_refused(pool_add({"bad", "--url", "ftp://host/x"}), 2, "the url must be file:///");
  expect_refused(pool_add(s3_args("bad", "s3://Bad_Bucket/p", keys_)), 2, "expected s3://BUCKET/PREFIX");
  expect_refused(pool_add({"bad", "--url", url, "--key-file", keys_}), 2, "needs --endpoint URL and --key-file");
  expect_refused(pool_add({"bad", "--url", url, "--endpoint", "127.0.0.1:1", "--key-file", keys_}), 2,
                 "the endpoint must be http://");
  expect_refused(pool_add({"bad", "--url", "file://" + tmp_.path() + "/pool", "--endpoint", server_.endpoint()}), 2,
                 "are for s3:// pools");
  expect_refused(pool_add(s3_args("bad", url, tmp_ / "missing.keys")), 2, "cannot open the key file");
  for (const mode_t mode : {0644, 0662, 0640}) {
    ASSERT_TRUE(write_keys(tmp_ / "open.keys", read_file(keys_), mode));
    expect_refused(pool_add(s3_args("bad", url, tmp_ / "open.keys")), 2, "open to other users: chmod 600");
  }
  for (const char* text : {"S3RVER\n", "S3RVER\n\n", "S3RVER\nsecret\nthird\n", "S3 RVER\nsecret\n", ""}) {
    ASSERT_TRUE(write_keys(tmp_ / "bad.keys", text, 0600));
    expect_refused(pool_add(s3_args("bad", url, tmp_ / "bad.keys")), 2, "must hold two lines");
  }
  EXPECT_EQ(0u, pools().size());
}

TEST_F(AgentS3Pool, MissingBucketWrongKeysAndASilentEndpointAreRefused) {
  expect_refused(pool_add(s3_args("bad", "s3://no-such-bucket/p", keys_)), 1, "bucket no-such-bucket does not exist");
  ASSERT_TRUE(write_keys(tmp_ / "wrong.keys", std::string("NOT-A-KEY\n") + SECRET + "\n", 0600));
  expect_refused(pool_add(s3_args("bad", "s3://" + server_.bucket() + "/p", tmp_ / "wrong.keys")), 1,
                 "refused the keys of " + tmp_ / "wrong.keys");
  ASSERT_TRUE(write_keys(tmp_ / "wrong.keys", std::string(S3_Server::ACCESS_KEY_ID) + "\nnot-the-secret\n", 0600));
  expect_refused(pool_add(s3_args("bad", "s3://" + server_.bucket() + "/p", tmp_ / "wrong.keys")), 1,
                 "SignatureDoesNotMatch");

  // Listened on, never answered: the check gives up after its time-out.
  const Silent_Endpoint silent;
  ASSERT_TRUE(silent.listening());
  const Run_Result r = pool_add(
      {"bad", "--url", "s3://" + server_.bucket() + "/p", "--endpoint", silent.endpoint(), "--key-file", keys_});
  EXPECT_FALSE(r.timed_out);
  expect_refused(r, 1, "the endpoint " + silent.endpoint() + " does not answer");
  EXPECT_EQ(0u, pools().size());
}

}  // namespace
