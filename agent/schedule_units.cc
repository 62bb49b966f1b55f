#include "agent/schedule_units.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>

#include "host/base/fs_util.h"

const char* const DROPIN_FILE = "schedule.conf";

namespace {

const char* const BACKUP_UNIT = "oscar-agent-backup@";
const char* const EXPIRE_UNIT = "oscar-agent-expire@";

// A word that systemd's and the shell's command lines both take bare.
bool bare(const std::string& word) { return std::regex_match(word, std::regex("[A-Za-z0-9_./:@=+-]+")); }

// A word of an ExecStart= line: quoted, with systemd's escapes for the
// quote, the backslash, specifiers (%) and variables ($).
std::string systemd_word(const std::string& word) {
  if (bare(word)) return word;
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
    if (c == '%' || c == '$') out += c;
  }
  return out + "\"";
}

// A word of a cron command (run by /bin/sh): single-quoted; cron itself
// takes % for a line feed unless escaped.
std::string cron_word(const std::string& word) {
  if (bare(word)) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : c == '%' ? std::string("\\%") : std::string(1, c);
  return out + "'";
}

std::string join(const std::vector<std::string>& words, std::string (*quote)(const std::string&)) {
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + quote(w);
  return line;
}

bool fail_path(const std::string& what, const std::string& path, std::string& err) {
  err = "cannot " + what + " " + path + ": " + std::strerror(errno);
  return false;
}

// Removes a drop-in and its directory when nothing else is left in it.
bool remove_dropin(const std::string& path, std::string& err) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_path("remove", path, err);
  const std::string dir = path.substr(0, path.rfind('/'));
  if (::rmdir(dir.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
    return fail_path("remove", dir, err);
  return true;
}

bool write_dropin(const std::string& path, const std::string& text, std::string& err) {
  if (mkdir_p(path.substr(0, path.rfind('/'))) != 0) return fail_path("make the directory of", path, err);
  if (write_file_atomic(path, text.data(), text.size()) != 0) return fail_path("write", path, err);
  return true;
}

}  // namespace

std::string schedule_unit(const std::string& instance, const std::string& kind) {
  return kind == "expire" ? EXPIRE_UNIT + instance : BACKUP_UNIT + instance + ":" + kind;
}

bool unit_safe_name(const std::string& instance) {
  return std::regex_match(instance, std::regex("[A-Za-z0-9_.][A-Za-z0-9_.-]*"));
}

std::vector<std::string> scheduled_command(const std::string& agent, const std::string& config,
                                           const std::string& state, const std::string& instance,
                                           const std::string& kind) {
  std::vector<std::string> words = {agent};
  if (!config.empty()) words.insert(words.end(), {"--config", config});
  words.insert(words.end(), {"--state", state});
  if (kind == "expire") {
    words.insert(words.end(), {"expire", instance});
  } else {
    words.insert(words.end(), {"scheduled", "backup", instance + ":" + kind});
  }
  return words;
}

std::string timer_dropin(const std::string& calendar) {
  return "# Written by oscar-agent schedule; oscar-agent schedule --remove removes it.\n[Timer]\nOnCalendar=\n"
         "OnCalendar=" +
         calendar + "\n";
}

std::string service_dropin(const std::vector<std::string>& command) {
  return "# Written by oscar-agent schedule: the state directory and configuration it used.\n[Service]\n"
         "ExecStart=\nExecStart=" +
         join(command, systemd_word) + "\n";
}

std::string cron_line(const std::string& fields, const std::vector<std::string>& command) {
  return fields + " root " + join(command, cron_word);
}

std::vector<std::string> scheduled_units(const std::string& unit_dir, const std::string& instance) {
  std::vector<std::string> units;
  DIR* dir = ::opendir(unit_dir.c_str());
  if (dir == nullptr) return units;
  const std::string backups = std::string(BACKUP_UNIT) + instance + ":", expire = schedule_unit(instance, "expire");
  while (const dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    const std::string suffix = ".timer.d";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    name.erase(name.size() - suffix.size());
    const bool ours =
        name == expire || (name.rfind(backups, 0) == 0 && name.find(':', backups.size()) == std::string::npos);
    if (ours && ::access(timer_dropin_path(unit_dir, name).c_str(), F_OK) == 0) units.push_back(name);
  }
  ::closedir(dir);
  std::sort(units.begin(), units.end());
  return units;
}

std::string timer_dropin_path(const std::string& unit_dir, const std::string& unit) {
  return unit_dir + "/" + unit + ".timer.d/" + DROPIN_FILE;
}

std::string service_dropin_path(const std::string& unit_dir, const std::string& unit) {
  return unit_dir + "/" + unit + ".service.d/" + DROPIN_FILE;
}

bool write_dropins(const std::string& unit_dir, const std::string& unit, const std::string& timer_text,
                   const std::string& service_text, std::string& err) {
  return write_dropin(service_dropin_path(unit_dir, unit), service_text, err) &&
         write_dropin(timer_dropin_path(unit_dir, unit), timer_text, err);
}

bool remove_dropins(const std::string& unit_dir, const std::string& unit, std::string& err) {
  return remove_dropin(timer_dropin_path(unit_dir, unit), err) &&
         remove_dropin(service_dropin_path(unit_dir, unit), err);
}
