#include "host/process/service_lister.h"

#include <ace/Log_Msg.h>
#include <dirent.h>
#include <iconv.h>
#include <pwd.h>

#include <boost/regex.hpp>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Reads a whole /proc file; empty when the process has gone.
std::string read_proc_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string command_line(pid_t pid) {
  std::string raw = read_proc_file("/proc/" + std::to_string(pid) + "/cmdline");
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  for (char& c : raw)
    if (c == '\0') c = ' ';
  return raw;
}

std::string user_of(pid_t pid) {
  std::istringstream status(read_proc_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") != 0) continue;
    const uid_t uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return pw.pw_name;
    return std::to_string(uid);
  }
  return std::string();
}

// The character set named by a locale ("xx_YY.SET@mod") or a bare set name.
std::string charset_of(const std::string& locale) {
  std::string set = locale;
  const std::string::size_type dot = set.find('.');
  if (dot != std::string::npos) set = set.substr(dot + 1);
  const std::string::size_type at = set.find('@');
  if (at != std::string::npos) set = set.substr(0, at);
  return set;
}

bool is_utf8_name(std::string set) {
  std::string plain;
  for (char c : set)
    if (c != '-' && c != '_') plain += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return plain == "UTF8";
}

struct Iconv_Closer {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

// Converts text to UTF-8 through cd; false leaves text unchanged.
bool to_utf8(iconv_t cd, std::string& text) {
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 4 + 16, '\0');
  char* in = &text[0];
  size_t in_left = text.size();
  char* dst = &out[0];
  size_t out_left = out.size();
  if (::iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<size_t>(-1)) return false;
  out.resize(out.size() - out_left);
  text.swap(out);
  return true;
}

}  // namespace

int Service_Lister::list_service(const std::string& pattern, std::vector<Service_Info>& services, bool icase,
                                 const char* locale) {
  boost::regex re;
  try {
    re.assign(pattern, icase ? boost::regex::perl | boost::regex::icase : boost::regex::perl);
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid process pattern %s: %s\n"), pattern.c_str(), e.what()));
    return -1;
  }
  std::unique_ptr<void, Iconv_Closer> cd;
  if (locale != nullptr && locale[0] != '\0' && !is_utf8_name(charset_of(locale))) {
    iconv_t opened = ::iconv_open("UTF-8", charset_of(locale).c_str());
    if (opened == reinterpret_cast<iconv_t>(-1)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Unknown character set of locale %s\n"), locale));
      return -1;
    }
    cd.reset(opened);
  }
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to open /proc, errno=%d, %m\n"), errno));
    return -1;
  }
  while (const struct dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || end == entry->d_name || *end != '\0') continue;
    Service_Info info;
    info.pid = static_cast<pid_t>(pid);
    info.cmd = command_line(info.pid);
    if (info.cmd.empty()) continue;
    if (cd) to_utf8(static_cast<iconv_t>(cd.get()), info.cmd);
    try {
      if (!boost::regex_search(info.cmd, re)) continue;
    } catch (const std::exception&) {
      // A pathological line that exhausts the matcher counts as no match.
      continue;
    }
    info.user = user_of(info.pid);
    if (info.user.empty()) continue;
    services.push_back(std::move(info));
  }
  ::closedir(proc);
  return 0;
}
