#ifndef TESTS_SUPPORT_SIM_INSTANCE_H
#define TESTS_SUPPORT_SIM_INSTANCE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sim_home.h"

// A simulated instance that lives for one test: start() creates its home
// and starts its server. However the test ends, the server is stopped when
// the object goes away, and its process is gone before the destructor
// returns; a server that does not end fails the test.
class Sim_Instance : public Sim_Home {
 public:
  using Sim_Home::Sim_Home;
  ~Sim_Instance();

  // "oscar-sim init" with init_options, then "oscar-sim start". A failure
  // names the step and carries what the simulator printed.
  ::testing::AssertionResult start(const std::vector<std::string>& init_options = {});

 private:
  bool created_ = false;
};

#endif
