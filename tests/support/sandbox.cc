#include "tests/support/sandbox.h"

#include <stdexcept>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/sleep.h"

Test_Sandbox::Test_Sandbox(double sleep_scale)
    : state_dir_(tmp_ / "state"),
      root_(tmp_ / "root"),
      old_state_dir_(agent_state_dir()),
      old_root_(host_root_prefix()),
      old_sleep_scale_(host_sleep_scale()) {
  if (mkdir_p(state_dir_) != 0 || mkdir_p(root_) != 0) throw std::runtime_error("cannot create " + tmp_.path());
  set_agent_state_dir(state_dir_);
  set_host_root_prefix(root_);
  set_host_sleep_scale(sleep_scale);
}

Test_Sandbox::~Test_Sandbox() {
  set_host_sleep_observer(nullptr);
  set_host_sleep_scale(old_sleep_scale_);
  set_host_root_prefix(old_root_);
  set_agent_state_dir(old_state_dir_);
}

void Test_Sandbox::sleep_scale(double scale) { set_host_sleep_scale(scale); }
