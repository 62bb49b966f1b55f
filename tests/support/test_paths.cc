#include "tests/support/test_paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "host/base/fs_util.h"

Temp_Dir::Temp_Dir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/oscar-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + templ);
  path_ = buf.data();
}

Temp_Dir::~Temp_Dir() { rm_rf(path_); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

bool write_private_file(const std::string& path, const std::string& text) {
  return write_file(path, text) && ::chmod(path.c_str(), 0600) == 0;
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

std::vector<std::string> files_under(const std::string& dir) {
  std::vector<std::string> out;
  for (const std::string& n : dir_entries(dir)) {
    const std::string path = dir + "/" + n;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      for (const std::string& f : files_under(path)) out.push_back(f);
    } else if (S_ISREG(st.st_mode)) {
      out.push_back(path);
    }
  }
  return out;
}
