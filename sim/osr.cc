// The logical export and import tools:
//   osrexp -UUSER/PASSWORD -pPORT -dNAME [level=schema|table] file=PATH [schema=S] [table=S.T] [options...]
//   osrimp -UUSER/PASSWORD -pPORT -dNAME file=PATH [level=schema|table] [schema=S] [table=S.T] [options...]
// The dump file is a JSON document of the exported schemas, tables (with
// generated row data) and user tablespaces. Other option words are accepted
// and ignored. Errors: "osrexp: ERROR, ..." / "osrimp: ERROR, ..." on
// standard error and a non-zero exit status.

#include <cstdio>
#include <map>
#include <string>

#include "datafiles.h"
#include "faults.h"
#include "home.h"
#include "net.h"
#include "roles.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

namespace {

struct Osr_Run {
  std::string tool;
  Home home;
  std::string instance;
  std::map<char, std::string> opts;
  std::map<std::string, std::string> words;  // key=value words
  Faults faults;

  int fail(const std::string& text) const {
    std::fprintf(stderr, "%s: ERROR, %s\n", tool.c_str(), text.c_str());
    return 1;
  }
};

// Parses the command line, checks the server and the login. Returns -1 when
// the caller may go on, else the exit status.
int prepare(Osr_Run& r, int argc, char** argv, json& state) {
  r.home.root = home_of_program(argv[0]);
  for (int i = 1; i < argc; ++i) {
    std::string w = argv[i];
    if (w.size() > 2 && w[0] == '-' && std::string("Upd").find(w[1]) != std::string::npos) {
      r.opts[w[1]] = w.substr(2);
    } else if (w.find('=') != std::string::npos && w[0] != '-') {
      r.words[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    } else {
      return r.fail("unexpected argument \"" + w + "\"");
    }
  }
  std::string err;
  if (r.home.root.empty()) return r.fail("cannot find the database home (SZ_OSCAR_HOME is not set)");
  if (!load_state(r.home, state, err)) return r.fail(err);
  json* inst = find_instance(state, r.opts['d'], &r.instance);
  if (!inst) return r.fail("database \"" + r.opts['d'] + "\" does not exist");
  r.faults = Faults::for_tool(r.tool, inst);
  if (r.faults.has("hang")) hang_until_killed();
  uint64_t port = 0;
  std::string reply;
  if (!parse_u64(r.opts['p'], port) || port == 0 || port > 65535) return r.fail("invalid port (-p)");
  if (!request(static_cast<uint16_t>(port), "PING " + r.instance, reply, err) || reply != "OK " + r.instance) {
    return r.fail("could not connect to database \"" + r.instance + "\" on port " + r.opts['p']);
  }
  std::string cred = r.opts['U'];
  size_t slash = cred.find('/');
  const json& acc = (*inst)["account"];
  if (slash == std::string::npos || cred.substr(0, slash) != acc.value("user", "") ||
      cred.substr(slash + 1) != acc.value("password", "")) {
    return r.fail("password authentication failed for user \"" + cred.substr(0, slash) + "\"");
  }
  if (r.words["file"].empty()) return r.fail("no dump file given (file=)");
  return -1;
}

bool split_table(const std::string& qualified, std::string& schema, std::string& table) {
  size_t dot = qualified.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == qualified.size()) return false;
  schema = qualified.substr(0, dot);
  table = qualified.substr(dot + 1);
  return true;
}

json table_with_data(const json& t, const std::string& schema) {
  json out = t;
  json rows = json::array();
  uint64_t n = t.value("rows", uint64_t{0});
  for (uint64_t i = 0; i < n; ++i) {
    rows.push_back(schema + "." + t.value("name", "") + " row " + std::to_string(i) + " value " +
                   std::to_string((i * 2654435761ULL) % 1000003));
  }
  out["data"] = rows;
  return out;
}

bool is_system_schema(const std::string& s) {
  for (const char* sys : {"(null)\\ROOT", "DIRECTORIES", "INFO_SCHEM", "PUBLIC", "REPLICATION", "STAGENT", "SYSAUDIT",
                          "SYSDBA", "SYSFTSDBA", "SYSMONITOR", "SYSSECURE", "SYS_GLOBAL_TEMP", "WMSYS"}) {
    if (s == sys) return true;
  }
  return false;
}

}  // namespace

int run_osrexp(int argc, char** argv) {
  Osr_Run r{"osrexp", {}, {}, {}, {}, {}};
  json state;
  int status = prepare(r, argc, argv, state);
  if (status >= 0) return status;
  if (r.faults.has("fail")) return r.fail("simulated failure");
  const json& inst = *find_instance(state, r.instance);
  std::string level = r.words.count("level") ? r.words["level"] : "database";
  json dump{{"format", "oscar-sim-dump"},
            {"instance", r.instance},
            {"level", level},
            {"schemas", json::object()},
            {"tablespaces", json::array()}};
  const json& schemas = inst["schemas"];
  if (level == "table") {
    std::string s, t;
    if (!split_table(r.words["table"], s, t)) return r.fail("table= needs SCHEMA.TABLE");
    if (!schemas.contains(s)) return r.fail("schema \"" + s + "\" does not exist");
    json found;
    for (const auto& x : schemas[s]) {
      if (x.value("name", "") == t) found = x;
    }
    if (found.is_null()) return r.fail("table \"" + s + "." + t + "\" does not exist");
    dump["schemas"][s] = json::array({table_with_data(found, s)});
  } else if (level == "schema") {
    std::string s = r.words["schema"];
    if (!schemas.contains(s)) return r.fail("schema \"" + s + "\" does not exist");
    dump["schemas"][s] = json::array();
    for (const auto& x : schemas[s]) dump["schemas"][s].push_back(table_with_data(x, s));
  } else if (level == "database") {
    for (auto it = schemas.begin(); it != schemas.end(); ++it) {
      if (is_system_schema(it.key())) continue;
      dump["schemas"][it.key()] = json::array();
      for (const auto& x : *it) dump["schemas"][it.key()].push_back(table_with_data(x, it.key()));
    }
  } else {
    return r.fail("unknown level \"" + level + "\"");
  }
  for (const auto& ts : inst["tablespaces"]) {
    if (ts.value("kind", "") == "p") dump["tablespaces"].push_back(ts.value("name", ""));
  }
  if (r.faults.has("no-file")) return 0;
  if (!write_file_atomic(r.words["file"], dump.dump() + "\n")) return r.fail("cannot write " + r.words["file"]);
  std::printf("exported %s level of %s to %s\n", level.c_str(), r.instance.c_str(), r.words["file"].c_str());
  return r.faults.has("fail-keep") ? r.fail("simulated failure after writing the dump") : 0;
}

int run_osrimp(int argc, char** argv) {
  Osr_Run r{"osrimp", {}, {}, {}, {}, {}};
  json state;
  int status = prepare(r, argc, argv, state);
  if (status >= 0) return status;
  if (r.faults.has("fail")) return r.fail("simulated failure");
  std::string text, err;
  if (!read_text_file(r.words["file"], text)) return r.fail("cannot read " + r.words["file"]);
  json dump = json::parse(text, nullptr, false);
  if (dump.is_discarded() || !dump.is_object() || dump.value("format", "") != "oscar-sim-dump" ||
      !dump.contains("schemas") || !dump["schemas"].is_object()) {
    return r.fail(r.words["file"] + " is not a dump file");
  }
  File_Lock lock(r.home.state_lock());
  if (!lock.held() || !load_state(r.home, state, err)) return r.fail(err.empty() ? "cannot lock state" : err);
  json& inst = *find_instance(state, r.instance);
  json& schemas = inst["schemas"];
  auto strip = [](json t) {
    t.erase("data");
    return t;
  };
  std::string level = r.words.count("level") ? r.words["level"] : "database";
  const json& from = dump["schemas"];
  if (level == "table") {
    std::string s, t;
    if (!split_table(r.words["table"], s, t)) return r.fail("table= needs SCHEMA.TABLE");
    if (!schemas.contains(s)) return r.fail("schema \"" + s + "\" does not exist");
    json found;
    for (auto it = from.begin(); it != from.end(); ++it) {
      for (const auto& x : *it) {
        if (found.is_null() || x.value("name", "") == t) found = x;
      }
    }
    if (found.is_null()) return r.fail("the dump holds no table");
    found["name"] = t;
    json kept = json::array();
    for (const auto& x : schemas[s]) {
      if (x.value("name", "") != t) kept.push_back(x);
    }
    kept.push_back(strip(found));
    schemas[s] = kept;
  } else if (level == "schema") {
    std::string s = r.words["schema"];
    if (s.empty() || from.empty()) return r.fail("no schema to import");
    const json& src = from.contains(s) ? from[s] : from.begin().value();
    schemas[s] = json::array();
    for (const auto& x : src) schemas[s].push_back(strip(x));
  } else if (level == "database") {
    for (auto it = from.begin(); it != from.end(); ++it) {
      schemas[it.key()] = json::array();
      for (const auto& x : *it) schemas[it.key()].push_back(strip(x));
    }
    if (r.words["tablespace"] == "true" && dump.contains("tablespaces")) {
      for (const auto& name : dump["tablespaces"]) {
        bool have = false;
        for (const auto& ts : inst["tablespaces"]) have = have || ts.value("name", "") == name;
        if (have || !name.is_string()) continue;
        std::string file = name.get<std::string>() + "01.dbf";
        std::string path = r.home.data_dir(r.instance) + "/" + file;
        if (!is_regular_file(path) &&
            !create_data_file(path, 16, inst.value("lsn", uint64_t{1}), fnv1a(path.data(), path.size()), err)) {
          return r.fail(err);
        }
        inst["tablespaces"].push_back(json{{"name", name}, {"kind", "p"}, {"datafile", file}});
      }
    }
  } else {
    return r.fail("unknown level \"" + level + "\"");
  }
  if (!save_state(r.home, state, err)) return r.fail(err);
  std::printf("imported %s level into %s from %s\n", level.c_str(), r.instance.c_str(), r.words["file"].c_str());
  return 0;
}

}  // namespace sim
