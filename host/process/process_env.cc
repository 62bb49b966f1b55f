#include "host/process/process_env.h"

#include <cerrno>
#include <cstdlib>
#include <string>

int append_process_options_env(ACE_Process_Options& options, const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0' || value == nullptr || value[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  const char* inherited = std::getenv(name);
  std::string list = inherited != nullptr ? inherited : "";
  const std::string padded = ":" + list + ":";
  if (list.empty())
    list = value;
  else if (padded.find(std::string(":") + value + ":") == std::string::npos)
    list = list + ":" + value;
  return options.setenv(name, "%s", list.c_str()) == 0 ? 0 : -1;
}
