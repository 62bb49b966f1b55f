#ifndef SIM_STATE_H
#define SIM_STATE_H

// The home's state file (HOME/admin/oscar-sim.json): the version texts and,
// per instance, the account, archive mode, schemas and tables, tablespaces,
// cluster nodes, counters and fault switches. Writers replace the file
// atomically, so readers never need a lock; read-modify-write sequences hold
// the home's state lock so that concurrent tools do not lose updates.

#include <nlohmann/json.hpp>
#include <string>

#include "home.h"

namespace sim {

using json = nlohmann::json;

// An exclusive advisory lock (flock) on a lock file, held for the object's
// life. The wait for it is bounded (30 s); held() tells whether it was got.
class File_Lock {
 public:
  explicit File_Lock(const std::string& path);
  ~File_Lock();
  File_Lock(const File_Lock&) = delete;
  File_Lock& operator=(const File_Lock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Loads the state file; on failure err holds a reason and state is untouched.
bool load_state(const Home& home, json& state, std::string& err);
bool save_state(const Home& home, const json& state, std::string& err);

// The instance entry whose name equals inst, or failing that the only one
// equal ignoring case; null when none. name receives the stored spelling.
json* find_instance(json& state, const std::string& inst, std::string* name = nullptr);

// A fresh instance entry with the default catalogue contents.
json default_instance(const std::string& user, const std::string& password);
json default_state();

}  // namespace sim

#endif
