#ifndef TESTS_SUPPORT_S3_SERVER_H
#define TESTS_SUPPORT_S3_SERVER_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "host/storage/client_io_base.h"
#include "tests/support/test_paths.h"

// An S3-compatible server (s3rver, installed by scripts/install-deps into
// tests/s3server) on a free loopback port, its data in data_dir, with one
// bucket made at start. It is stopped when the object goes away, whichever
// way the test ended, and by itself when the test program dies (it reads
// its end of a pipe that closes then). running() is false, with error()
// saying why, when it could not be started; tests assert on it, so a
// missing installation fails them.
class S3_Server {
 public:
  static constexpr const char* ACCESS_KEY_ID = "S3RVER";
  // Distinct, so that a test can tell it was never printed.
  static constexpr const char* SECRET_ACCESS_KEY = "Secret-51ab-never-shown";

  S3_Server(const std::string& data_dir, const std::string& bucket = "oscar-test");
  ~S3_Server();
  S3_Server(const S3_Server&) = delete;
  S3_Server& operator=(const S3_Server&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  const std::string& bucket() const { return bucket_; }
  // "http://127.0.0.1:PORT"
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Storage options that reach the server with its keys.
  Client_IO_Base::Options options() const;
  // Writes the server's key pair to path as a key file of the agent (the
  // access key id, then the secret, one a line), readable by its owner only.
  bool write_key_file(const std::string& path) const;

  // Stops the server now (waiting at most a few seconds for it to go).
  void stop();

  // Makes the next `count` requests of `kind` fail with `answer`: "503" or
  // "500" (an S3 error answer), "drop" (the connection closed before the
  // request is looked at), "lose" (the request carried out, then its
  // connection closed unanswered), "hold" (neither carried out nor
  // answered while the client waits) or "stall" (carried out, never
  // answered). With `suffix`, only requests whose object key ends in it
  // count. Kinds: "initiate", "part", "complete",
  // "abort" (of a multipart upload), "put", "get", "head", "delete" (of an
  // object), "list" (of the bucket). A count of 0 ends the faults of kind.
  // False when the server did not take it.
  bool fail_next(const std::string& kind, int count, const std::string& answer, const std::string& suffix = "");
  // How many requests of `kind` the server has seen since it started, the
  // refused and failed ones too; -1 when it did not say.
  int requests(const std::string& kind) const;  // kind "held": requests held by "hold" or "stall"

  // The files the server keeps for the bucket, objects and unfinished
  // uploads alike, relative to its directory.
  std::vector<std::string> bucket_files() const;
  // Of those, the objects' contents and the files of unfinished uploads.
  std::vector<std::string> objects() const;
  std::vector<std::string> uploads() const;

 private:
  // One request to the server's own control paths: the answer's HTTP
  // status (0 when none came) and its body.
  int control(const std::string& method, const std::string& target, std::string& body) const;

  std::string data_dir_, bucket_, error_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

// A loopback port that is listened on but never accepted: connecting to
// it succeeds, and no answer ever comes.
class Silent_Endpoint {
 public:
  Silent_Endpoint();
  ~Silent_Endpoint();
  Silent_Endpoint(const Silent_Endpoint&) = delete;
  Silent_Endpoint& operator=(const Silent_Endpoint&) = delete;

  bool listening() const { return port_ > 0; }
  // "http://127.0.0.1:PORT"
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A test with a fresh S3 server of its own, with its data in a temporary
// directory; the test stops at once when the server could not be started.
class S3_Server_Test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.running()) << server_.error(); }

  Temp_Dir tmp_;
  S3_Server server_{tmp_ / "s3"};
};

#endif
