#ifndef SIM_LASTLSN_H
#define SIM_LASTLSN_H

// HOME/agent/lastlsn.dat, the backup chain state: per instance six lines
// NAME_lastfullbackupid=, NAME_lastfullbackuplsn=, NAME_lastfullbackupscn=,
// NAME_lastbackupid=, NAME_lastbackuplsn=, NAME_lastbackupscn=.
// Lines of other instances and other keys are kept as they are.

#include <cstdint>
#include <string>

namespace sim {

struct Chain_State {
  std::string last_full_id;
  uint64_t last_full_lsn = 0;
  uint64_t last_full_scn = 0;
  std::string last_id;
  uint64_t last_lsn = 0;
  uint64_t last_scn = 0;

  // All six values present and the numbers not zero.
  bool complete() const {
    return !last_full_id.empty() && !last_id.empty() && last_full_lsn && last_full_scn && last_lsn && last_scn;
  }
};

// Reads the instance's lines; a missing file gives an empty chain. The last
// line of a key wins.
Chain_State read_chain(const std::string& path, const std::string& inst);

// Replaces the instance's six lines with those of chain (atomically).
bool write_chain(const std::string& path, const std::string& inst, const Chain_State& chain);

// Removes the instance's six lines, so that the next backup must be full.
bool clear_chain(const std::string& path, const std::string& inst);

}  // namespace sim

#endif
