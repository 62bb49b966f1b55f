#ifndef SIM_DUMP_H
#define SIM_DUMP_H

// The dump file of osrexp and osrimp: lines of text, written and read as a
// stream (memory does not grow with the number of rows).
//
//   OSCAR-SIM-DUMP 1
//   {"instance":"ORCL","level":"table|schema|database"}
//   {"tablespace":"NAME","datafile":"FILE","pages":N}        user tablespaces (database level)
//   {"schema":"NAME"}                                        then its tables
//   {"table":"NAME","type":"BASE TABLE","width":W}           then its segments
//   {"segment":{"seed":S,"rows":N}}                          then N row lines of W bytes
//   {"end":{"schemas":A,"tables":B,"rows":C}}                last line
//
// A reader checks every row against its segment and the counts of the end
// line, so a cut, edited or reordered dump is refused as a whole.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "state.h"

namespace sim {

class Dump_Writer {
 public:
  // out may be null: then only bytes() counts what would be written. With
  // die_after > 0 the process writes exactly die_after bytes, flushes them
  // and kills itself (SIGKILL), as a tool dying mid-file would.
  Dump_Writer(std::FILE* out, uint64_t die_after);
  bool header(const std::string& instance, const std::string& level);
  bool tablespace(const std::string& name, const std::string& datafile, uint64_t pages);
  bool schema(const std::string& name);
  // The table line, its segments and every row.
  bool table(const json& table);
  bool end();
  uint64_t bytes() const { return bytes_; }

 private:
  bool put(const std::string& text);
  std::FILE* out_;
  uint64_t die_after_;
  uint64_t bytes_ = 0;
  uint64_t schemas_ = 0, tables_ = 0, rows_ = 0;
};

struct Dump_Tablespace {
  std::string name, datafile;
  uint64_t pages = 0;
};

struct Dump_Schema {
  std::string name;
  json tables = json::array();  // table entries as the state file holds them
};

struct Dump {
  std::string instance, level;
  std::vector<Dump_Tablespace> tablespaces;
  std::vector<Dump_Schema> schemas;
};

// Reads and checks a whole dump. False with err when the file cannot be read
// or is not a complete, consistent dump. With die_after > 0 the process
// kills itself (SIGKILL) once it has read that many bytes.
bool read_dump(const std::string& path, uint64_t die_after, Dump& dump, std::string& err);

}  // namespace sim

#endif
