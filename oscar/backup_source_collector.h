#ifndef OSCAR_BACKUP_SOURCE_COLLECTOR_H
#define OSCAR_BACKUP_SOURCE_COLLECTOR_H

#include <string>
#include <vector>

namespace oscar {

// Turns the entries of a backup job source (oscar/INSTANCE[/DATABASE
// [/SCHEMA[/TABLE]]]) into sources. The last source names the instance a
// physical backup works on; an export backup exports them all. One owner
// thread; used once per executor.
class Backup_Source_Collector {
 public:
  struct Source {
    std::string servername;  // instance name (second segment)
    std::string dbname;      // third segment, empty when absent
    std::string schema;      // fourth segment, empty when absent
    std::string table;       // fifth segment, empty when absent
  };

  Backup_Source_Collector() {}

  // Appends one source per entry, in order. An entry of fewer than two
  // "/"-separated segments is skipped silently; segments past the fifth
  // are ignored. Answers 0, or -1 (logged) at the first entry that does not
  // begin with "oscar": the sources of the entries before it stay.
  int collect(const std::vector<std::string>& entries);

  std::vector<Source> sources_;
};

}  // namespace oscar

#endif
