#ifndef BENCH_SUPPORT_S3RVER_H
#define BENCH_SUPPORT_S3RVER_H

#include <sys/types.h>

#include <string>

namespace bench {

// The test suite's S3 server (tests/s3server, s3rver on the loopback,
// installed by scripts/install-deps) on a free port, with its data in
// DIR/data and one bucket. The constructor waits at most 60 seconds for it
// to listen and ends the program when it does not; the destructor stops
// it, and it stops by itself when the benchmark dies. Key id "S3RVER",
// secret "S3RVER". Not thread-safe.
class S3rver {
 public:
  S3rver(const std::string& dir, const std::string& bucket);
  ~S3rver();
  S3rver(const S3rver&) = delete;
  S3rver& operator=(const S3rver&) = delete;

  // "http://127.0.0.1:PORT"
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // How many requests of every kind the server has seen since it started;
  // -1 when it did not answer.
  long requests() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int stdin_fd_ = -1;  // the server stops when this closes
};

}  // namespace bench

#endif
