#include "host/process/home_trust.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/base/agent_state.h"

namespace {

// The home itself and the folders whose programs, libraries and start
// script the agent runs; every entry of the program and library folders is
// judged too (the tools load their libraries from lib/ and bin/).
const char* const HOME_PLACES[] = {"", "/admin", "/bin", "/lib"};
const char* const PROGRAM_FOLDERS[] = {"/bin", "/lib"};

// Judges one path against the owner `home_uid`; nothing for a path that
// does not exist.
void judge(const std::string& path, uid_t home_uid, std::vector<std::string>& problems) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) problems.push_back("cannot read " + path + ": " + std::strerror(errno));
    return;
  }
  if (st.st_uid != 0 && st.st_uid != home_uid) {
    problems.push_back(path + " is owned by user " + std::to_string(st.st_uid) + ", neither root nor the home's owner");
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    const char* who = (st.st_mode & S_IWOTH) ? ((st.st_mode & S_IWGRP) ? "group and others" : "others") : "group";
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    problems.push_back(path + " is writable by " + who + " (mode " + mode + ")");
  }
}

}  // namespace

bool check_home_programs(const std::string& home, const std::string& instance, std::vector<std::string>& problems) {
  const std::size_t before = problems.size();
  struct stat st;
  if (::stat(home.c_str(), &st) != 0) {
    problems.push_back("cannot read the home " + home + ": " + std::strerror(errno));
    return false;
  }
  for (const char* place : HOME_PLACES) judge(home + place, st.st_uid, problems);
  for (const char* folder : PROGRAM_FOLDERS) {
    DIR* d = ::opendir((home + folder).c_str());
    if (d == nullptr) continue;  // judge() has said why, or it does not exist
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") judge(home + folder + "/" + name, st.st_uid, problems);
    }
    ::closedir(d);
  }
  judge(root_path("/etc/init.d/oscardb_" + instance + "d"), st.st_uid, problems);
  return problems.size() == before;
}
