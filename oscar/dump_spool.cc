#include "oscar/dump_spool.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "oscar/utils.h"

namespace oscar {

const char DUMP_SPOOL_DIR[] = "/var/cache/corvane/vantrel4/oscar/dump";

std::string dump_spool_path() { return root_path(DUMP_SPOOL_DIR); }

bool prepare_dump_spool(std::string& why) { return make_private_dir(dump_spool_path(), why) == 0; }

namespace {

// The components of a path, "." and empty ones left out, ".." kept.
std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// The canonical form of an existing path, or empty.
std::string real_path(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) == nullptr ? std::string() : std::string(buf);
}

}  // namespace

std::string resolve_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::string();
  const std::vector<std::string> parts = components(path);
  // The longest leading part that exists is resolved by the system, links
  // and all; what follows does not exist, so it holds no links and its
  // ".." can only be taken lexically.
  std::size_t known = parts.size();
  std::string base;
  for (;; --known) {
    std::string prefix;
    for (std::size_t i = 0; i < known; ++i) prefix += "/" + parts[i];
    base = real_path(prefix.empty() ? "/" : prefix);
    if (!base.empty() || known == 0) break;
  }
  if (base.empty()) return std::string();
  std::vector<std::string> out = components(base);
  for (std::size_t i = known; i < parts.size(); ++i) {
    if (parts[i] == "..") {
      if (!out.empty()) out.pop_back();
    } else {
      out.push_back(parts[i]);
    }
  }
  std::string joined;
  for (const std::string& p : out) joined += "/" + p;
  return joined.empty() ? "/" : joined;
}

bool export_run_dir(const std::string& dump_file, std::string& run_dir, std::string& why) {
  const std::string spool = resolve_path(dump_spool_path());
  const std::string file = resolve_path(dump_file);
  const std::string dir = dirname(dirname(file));
  if (spool.empty() || file.empty()) {
    why = "it is not an absolute path inside the dump spool " + dump_spool_path();
    return false;
  }
  const std::string inside = spool == "/" ? spool : spool + "/";
  if (dir.size() <= inside.size() || dir.compare(0, inside.size(), inside) != 0) {
    why = "its export run directory " + dir + " does not lie inside the dump spool " + spool;
    return false;
  }
  run_dir = dir;
  return true;
}

}  // namespace oscar

std::string dirname(const std::string& path) {
  const std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
