#ifndef TESTS_SUPPORT_S3_SERVER_H
#define TESTS_SUPPORT_S3_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "host/storage/client_io_base.h"

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

  // Stops the server now (waiting at most a few seconds for it to go).
  void stop();

  // The files the server keeps for the bucket, objects and unfinished
  // uploads alike, relative to its directory.
  std::vector<std::string> bucket_files() const;

 private:
  std::string data_dir_, bucket_, error_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

#endif
