#include "lastlsn.h"

#include <sstream>
#include <vector>

#include "sim_util.h"

namespace sim {

namespace {

const char* const KEYS[] = {"_lastfullbackupid=", "_lastfullbackuplsn=", "_lastfullbackupscn=",
                            "_lastbackupid=",     "_lastbackuplsn=",     "_lastbackupscn="};

std::vector<std::string> other_lines(const std::string& path, const std::string& inst) {
  std::string text;
  std::vector<std::string> kept;
  if (!read_text_file(path, text)) return kept;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    bool ours = false;
    for (const char* k : KEYS) ours = ours || starts_with(line, inst + k);
    if (!ours && !line.empty()) kept.push_back(line);
  }
  return kept;
}

bool write_lines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return make_dirs(dir_name(path)) && write_file_atomic(path, text);
}

}  // namespace

Chain_State read_chain(const std::string& path, const std::string& inst) {
  Chain_State c;
  std::string text;
  if (!read_text_file(path, text)) return c;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    for (int k = 0; k < 6; ++k) {
      std::string prefix = inst + KEYS[k];
      if (!starts_with(line, prefix)) continue;
      std::string v = line.substr(prefix.size());
      uint64_t n = 0;
      parse_u64(v, n);
      switch (k) {
        case 0: c.last_full_id = v; break;
        case 1: c.last_full_lsn = n; break;
        case 2: c.last_full_scn = n; break;
        case 3: c.last_id = v; break;
        case 4: c.last_lsn = n; break;
        default: c.last_scn = n; break;
      }
      break;
    }
  }
  return c;
}

bool write_chain(const std::string& path, const std::string& inst, const Chain_State& c) {
  std::vector<std::string> lines = other_lines(path, inst);
  lines.push_back(inst + KEYS[0] + c.last_full_id);
  lines.push_back(inst + KEYS[1] + std::to_string(c.last_full_lsn));
  lines.push_back(inst + KEYS[2] + std::to_string(c.last_full_scn));
  lines.push_back(inst + KEYS[3] + c.last_id);
  lines.push_back(inst + KEYS[4] + std::to_string(c.last_lsn));
  lines.push_back(inst + KEYS[5] + std::to_string(c.last_scn));
  return write_lines(path, lines);
}

bool clear_chain(const std::string& path, const std::string& inst) {
  if (!is_regular_file(path)) return true;
  return write_lines(path, other_lines(path, inst));
}

}  // namespace sim
