#ifndef TESTS_SUPPORT_SANDBOX_H
#define TESTS_SUPPORT_SANDBOX_H

#include <string>

#include "tests/support/test_paths.h"

// The process-wide host settings of one test: a fresh agent state directory
// and root prefix under a temporary directory, and the scale of every host
// wait. When the sandbox goes away, whichever way the test ended, the
// settings it found are put back, a sleep observer the test installed is
// removed, and the directory is deleted: no test sees another's state or
// writes outside its own directory.
class Test_Sandbox {
 public:
  // sleep_scale: the factor set for host_sleep while the sandbox lives
  // (1 leaves waits as asked, 0 skips them).
  explicit Test_Sandbox(double sleep_scale = 1.0);
  ~Test_Sandbox();
  Test_Sandbox(const Test_Sandbox&) = delete;
  Test_Sandbox& operator=(const Test_Sandbox&) = delete;

  // The temporary directory; state_dir() and root() are below it, and the
  // test may put anything else there.
  const std::string& path() const { return tmp_.path(); }
  std::string operator/(const std::string& name) const { return tmp_ / name; }

  // The agent state directory set for the test: path()/state.
  const std::string& state_dir() const { return state_dir_; }
  // state_dir() joined with a relative name.
  std::string state_file(const std::string& name) const { return state_dir_ + "/" + name; }
  // The root prefix set for the test: path()/root. Fixed absolute paths of
  // the module and the host (root_path) lie below it.
  const std::string& root() const { return root_; }

  // Changes the wait scale for the rest of the sandbox's life.
  void sleep_scale(double scale);

 private:
  Temp_Dir tmp_;
  std::string state_dir_, root_;
  std::string old_state_dir_, old_root_;
  double old_sleep_scale_;
};

#endif
