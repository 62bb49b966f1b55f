#include "state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "sim_util.h"
#include "table_data.h"

namespace sim {

File_Lock::File_Lock(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (int i = 0; i < 3000; ++i) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    sleep_ms(10);
  }
  ::close(fd);
}

File_Lock::~File_Lock() {
  if (fd_ >= 0) ::close(fd_);
}

bool load_state(const Home& home, json& state, std::string& err) {
  std::string text;
  if (!read_text_file(home.state_file(), text)) {
    err = "cannot read state file " + home.state_file();
    return false;
  }
  json parsed = json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("instances") ||
      !parsed["instances"].is_object()) {
    err = "state file " + home.state_file() + " is malformed";
    return false;
  }
  state = std::move(parsed);
  return true;
}

bool save_state(const Home& home, const json& state, std::string& err) {
  if (!write_file_atomic(home.state_file(), state.dump(2) + "\n")) {
    err = "cannot write state file " + home.state_file();
    return false;
  }
  return true;
}

json* find_instance(json& state, const std::string& inst, std::string* name) {
  json& all = state["instances"];
  auto it = all.find(inst);
  if (it != all.end() && it->is_object()) {
    if (name) *name = inst;
    return &*it;
  }
  json* found = nullptr;
  for (auto i = all.begin(); i != all.end(); ++i) {
    if (iequals(i.key(), inst) && i->is_object()) {
      if (found) return nullptr;
      found = &*i;
      if (name) *name = i.key();
    }
  }
  return found;
}

json default_instance(const std::string& user, const std::string& password) {
  auto table = [](const std::string& n) {
    return make_table(n, "BASE TABLE", DEFAULT_ROW_BYTES, {Segment{fnv1a(n.data(), n.size()), 100}});
  };
  json schemas = json::object();
  for (const char* sys : {"(null)\\ROOT", "DIRECTORIES", "INFO_SCHEM", "PUBLIC", "REPLICATION", "STAGENT", "SYSAUDIT",
                          "SYSDBA", "SYSFTSDBA", "SYSMONITOR", "SYSSECURE", "SYS_GLOBAL_TEMP", "WMSYS"}) {
    schemas[sys] = json::array();
  }
  schemas["SYSDBA"] = json::array({table("SYS_OBJECTS"), table("SYS_USERS")});
  schemas["APP"] = json::array({table("CUSTOMERS"), table("ORDERS"), table("ORDER_ITEMS")});
  schemas["HR"] = json::array({table("EMPLOYEES"), table("DEPARTMENTS")});
  json tablespaces = json::array({
      json{{"name", "SYSTEM"}, {"kind", "s"}, {"datafile", "SYSTEM01.dbf"}},
      json{{"name", "AUDIT"}, {"kind", "s"}, {"datafile", "AUDIT01.dbf"}},
      json{{"name", "CDC"}, {"kind", "s"}, {"datafile", "CDC01.dbf"}},
      json{{"name", "UNDO"}, {"kind", "u"}, {"datafile", "UNDO01.dbf"}},
      json{{"name", "TEMP"}, {"kind", "t"}, {"datafile", "TEMP01.dbf"}},
      json{{"name", "USERS"}, {"kind", "p"}, {"datafile", "USERS01.dbf"}},
  });
  return json{{"account", {{"user", user}, {"password", password}}},
              {"archive_mode", "ARCHIVELOG"},
              {"schemas", schemas},
              {"tablespaces", tablespaces},
              {"cluster_nodes", json::array()},
              {"lsn", 1000},
              {"scn", 5000},
              {"touch_count", 0},
              {"backup_count", 0},
              {"restore_point", nullptr},
              {"faults", {{"isql", ""}, {"brcmd", ""}, {"server", ""}, {"osrexp", ""}, {"osrimp", ""}}}};
}

json default_state() {
  return json{{"product", "OSCAR"},
              {"version", "V7.0.8"},
              {"build", "20240315-r4821"},
              {"platform", "Linux x86_64"},
              {"instances", json::object()}};
}

}  // namespace sim
