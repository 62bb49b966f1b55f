#ifndef TESTS_SUPPORT_STREAM_FIXTURE_H
#define TESTS_SUPPORT_STREAM_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/storage/client_io_ex.h"
#include "tests/support/plain_job.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

// What the stream copy and restore feed tests share: a sandbox (with the
// given wait scale), a do-nothing job for the alerts, one data file the
// info lines can name, and a storage client connected to a file:// pool.
class Stream_Fixture : public ::testing::Test {
 protected:
  explicit Stream_Fixture(double sleep_scale = 1.0) : sandbox_(sleep_scale) {}

  void SetUp() override {
    Job_Definition_var def(new Job_Definition());
    def->id("stream-test");
    job_ = Job_var(new Plain_Job(def));
    data_file_ = sandbox_ / "datafile1";
    ASSERT_TRUE(write_file(data_file_, "x"));
    Client_IO_Base::Options opts;
    opts.overwrite = true;
    ASSERT_TRUE(io_.connect("file://" + sandbox_ / "pool", opts));
  }

  // The code of the job's last alert, 0 for none.
  int last_alert() const {
    const std::vector<Job_Alert> a = job_->alerts();
    return a.empty() ? 0 : a.back().code;
  }

  Test_Sandbox sandbox_;
  Job_var job_;
  std::string data_file_;
  Client_IO_Ex io_;
};

#endif
