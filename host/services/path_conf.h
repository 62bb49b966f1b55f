#ifndef HOST_PATH_CONF_H
#define HOST_PATH_CONF_H

#include <sys/types.h>

#include <string>

// A file path under one of the agent's fixed directories. The directory is
// given as a template: "$COMPONENT" stands for the agent component's name
// (host_component_name()), and the host's root prefix (agent_state.h) is put
// in front, so tests and the demo work under a throwaway root while
// production paths stay as written. With `create` the directory and its
// missing parents are made with `mode`; ok() tells whether that worked.
// Immutable after construction; safe to share between threads.
class Path_Conf {
 public:
  Path_Conf(const std::string& dir_template, bool create, const std::string& file_name, mode_t mode);
  // The same with a sub-directory between the template and the file name.
  Path_Conf(const std::string& dir_template, const std::string& sub_dir, bool create, const std::string& file_name,
            mode_t mode);

  // The whole path: directory, "/", file name.
  const std::string& str() const { return path_; }
  const std::string& dir() const { return dir_; }
  // False when `create` was asked and the directory could not be made
  // (errno of the failure is in error()).
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }

 private:
  void init(const std::string& dir, bool create, const std::string& file_name, mode_t mode);
  std::string dir_;
  std::string path_;
  int error_ = 0;
};

// The name that "$COMPONENT" stands for ("agent" unless changed).
// Process-wide; set it at start-up.
const std::string& host_component_name();
void set_host_component_name(const std::string& name);

#endif
