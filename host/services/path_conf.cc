#include "host/services/path_conf.h"

#include <ace/Log_Msg.h>

#include <cerrno>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"

namespace {
std::string& component_name() {
  static std::string* name = new std::string("agent");
  return *name;
}
}  // namespace

const std::string& host_component_name() { return component_name(); }

void set_host_component_name(const std::string& name) { component_name() = name; }

Path_Conf::Path_Conf(const std::string& dir_template, bool create, const std::string& file_name, mode_t mode) {
  init(dir_template, create, file_name, mode);
}

Path_Conf::Path_Conf(const std::string& dir_template, const std::string& sub_dir, bool create,
                     const std::string& file_name, mode_t mode) {
  init(sub_dir.empty() ? dir_template : dir_template + "/" + sub_dir, create, file_name, mode);
}

void Path_Conf::init(const std::string& dir, bool create, const std::string& file_name, mode_t mode) {
  std::string resolved = dir;
  const std::string token = "$COMPONENT";
  for (std::string::size_type at = resolved.find(token); at != std::string::npos;
       at = resolved.find(token, at + host_component_name().size()))
    resolved.replace(at, token.size(), host_component_name());
  dir_ = root_path(resolved);
  path_ = file_name.empty() ? dir_ : dir_ + "/" + file_name;
  if (create && mkdir_p(dir_, mode) != 0) {
    error_ = errno;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create %C, errno=%d, %m\n"), dir_.c_str(), error_));
  }
}
