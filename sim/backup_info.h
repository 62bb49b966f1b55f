#ifndef SIM_BACKUP_INFO_H
#define SIM_BACKUP_INFO_H

// The backup stream written by "brcmd -O backup -k pipe" and read back by
// "brcmd -O restore":
//   head   512 bytes; bytes 0-3: big-endian length of head plus info data;
//          bytes 4-19: the magic "OSCAR-BRCMD-V1"; the rest zero.
//   info   text lines: "key: value" metadata and one "PATH=SIZE" line per
//          data file (absolute path at backup time, size in bytes).
//   data   records "DATA NAME OFFSET LENGTH\n" followed by LENGTH bytes of
//          file NAME at OFFSET, closed by "END RECORDS BYTES\n".
// A full backup holds every data file whole; incremental and differential
// backups hold the pages changed since their base.

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t HEAD_SIZE = 512;
constexpr uint32_t MAX_INFO_SIZE = 64u << 20;

struct Backup_File_Entry {
  std::string path;  // absolute path at backup time; the base name names the file
  uint64_t size = 0;
};

struct Backup_Info {
  std::string backup_id;
  std::string type;  // "full", "incr" or "diff"
  std::string instance;
  uint64_t lsn = 0;
  uint64_t scn = 0;
  std::string base_id;  // incr: the last backup; diff: the last full; full: empty
  uint64_t base_lsn = 0;
  std::string full_id;  // the full backup the chain rests on (a full names itself)
  std::vector<Backup_File_Entry> files;
};

// The info text; padding adds comment lines until the text is at least that long.
std::string format_info(const Backup_Info& info, size_t padding = 0);
// Parses the info text; false with err on a missing key or a bad line.
bool parse_info(const std::string& text, Backup_Info& info, std::string& err);

// A head announcing total bytes of head plus info data.
std::string make_head(uint32_t total);
// The announced total, and whether the magic is present.
uint32_t head_total(const unsigned char* head);
bool head_has_magic(const unsigned char* head);

}  // namespace sim

#endif
