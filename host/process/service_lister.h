#ifndef HOST_SERVICE_LISTER_H
#define HOST_SERVICE_LISTER_H

#include <sys/types.h>

#include <string>
#include <vector>

// One running process as the lister reports it.
struct Service_Info {
  std::string cmd;   // the full command line: its arguments joined by one blank
  std::string user;  // the name of its real user (the numeric uid when the name is unknown)
  pid_t pid = 0;
};

// Lists the machine's running processes from /proc.
class Service_Lister {
 public:
  // Appends to `services` one record per running process whose command
  // line holds a match of `pattern` (Perl syntax, searched anywhere in the
  // line, case-insensitively when `icase`). Processes without a command
  // line (kernel threads, zombies) and processes that end while being read
  // are left out. `locale`, when not null or empty, names the character set
  // of the command lines (a locale name such as "zh_CN.GB18030" or a bare
  // set name); they are converted from it to UTF-8 before matching, a line
  // that does not convert being kept as it is. Answers 0; -1 (logged) when
  // /proc cannot be read, the pattern is malformed or the character set is
  // unknown. Safe from any thread.
  static int list_service(const std::string& pattern, std::vector<Service_Info>& services, bool icase,
                          const char* locale);
};

#endif
