#ifndef TESTS_SUPPORT_TEST_PATHS_H
#define TESTS_SUPPORT_TEST_PATHS_H

#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away. Every test writes only below one of these.
class Temp_Dir {
 public:
  Temp_Dir();
  ~Temp_Dir();
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Reads a whole file; an unreadable file gives an empty text.
std::string read_file(const std::string& path);

// Writes text to path, replacing it; answers false on failure.
bool write_file(const std::string& path, const std::string& text);

// write_file, then mode 0600: a password or key file as the agent accepts
// it (its owner's alone).
bool write_private_file(const std::string& path, const std::string& text);

// The names in dir (without "." and ".."), in directory order; empty when
// it cannot be read.
std::vector<std::string> dir_entries(const std::string& dir);

// The paths of every regular file under dir, recursively.
std::vector<std::string> files_under(const std::string& dir);

#endif
