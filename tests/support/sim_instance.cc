#include "tests/support/sim_instance.h"

Sim_Instance::~Sim_Instance() {
  if (!created_) return;
  // "oscar-sim stop" returns once the server process has ended (killing it
  // when it does not end on its own); with no server running it succeeds.
  const Run_Result r = admin("stop");
  EXPECT_EQ(0, r.status) << "stopping " << instance() << ": " << r.out << r.err;
  stop_on_destruction(false);
}

::testing::AssertionResult Sim_Instance::start(const std::vector<std::string>& init_options) {
  Run_Result r = init(init_options);
  if (r.status != 0) return ::testing::AssertionFailure() << "init of " << instance() << ": " << r.out << r.err;
  created_ = true;
  r = admin("start");
  if (r.status != 0) return ::testing::AssertionFailure() << "start of " << instance() << ": " << r.out << r.err;
  return ::testing::AssertionSuccess();
}
