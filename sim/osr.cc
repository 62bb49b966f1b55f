// The logical export and import tools:
//   osrexp -UUSER/PASSWORD -pPORT -dNAME [level=schema|table] file=PATH [schema=S] [table=S.T] [options...]
//   osrimp -UUSER/PASSWORD -pPORT -dNAME file=PATH [level=schema|table] [schema=S] [table=S.T] [options...]
// The dump file is described in dump.h. The import honours the option words
// recreateschema, recreatetable, deletetabledata and tablespace (their names
// ignore case); other key=value words are accepted and ignored. Errors:
// "osrexp: ERROR, ..." / "osrimp: ERROR, ..." on standard error and a
// non-zero exit status. The password is never printed.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "datafiles.h"
#include "dump.h"
#include "faults.h"
#include "home.h"
#include "net.h"
#include "roles.h"
#include "sim_util.h"
#include "state.h"
#include "table_data.h"

namespace sim {

namespace {

struct Osr_Run {
  std::string tool;
  Home home;
  std::string instance;
  std::map<char, std::string> opts;
  std::map<std::string, std::string> words;  // key=value words, keys in lower case
  Faults faults;

  int fail(const std::string& text) const {
    std::fprintf(stderr, "%s: ERROR, %s\n", tool.c_str(), text.c_str());
    return 1;
  }
  std::string word(const std::string& key) const {
    auto it = words.find(key);
    return it == words.end() ? std::string() : it->second;
  }
  bool flag(const std::string& key) const { return iequals(word(key), "true"); }
  std::string level() const { return words.count("level") ? to_lower(word("level")) : "database"; }
  // The byte count of the die-mid-file fault: its value, else half of whole.
  uint64_t die_after(uint64_t whole) const {
    if (!faults.has("die-mid-file")) return 0;
    uint64_t n = faults.number("die-mid-file", whole / 2);
    return n == 0 ? 1 : n;
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
    } else if (w.find('=') != std::string::npos && w[0] != '-' && w[0] != '=') {
      r.words[to_lower(w.substr(0, w.find('=')))] = w.substr(w.find('=') + 1);
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
  if (r.faults.has("refuse") || slash == std::string::npos || cred.substr(0, slash) != acc.value("user", "") ||
      cred.substr(slash + 1) != acc.value("password", "")) {
    return r.fail("password authentication failed for user \"" + cred.substr(0, slash) + "\"");
  }
  if (r.word("file").empty()) return r.fail("no dump file given (file=)");
  if (r.faults.has("fail")) return r.fail("simulated failure");
  return -1;
}

std::string datafile_path(const Home& home, const std::string& inst, const std::string& datafile) {
  return !datafile.empty() && datafile[0] == '/' ? datafile : home.data_dir(inst) + "/" + datafile;
}

// Writes the dump of what the run names to out (null: only counts it).
// False with err when an object is missing or a write fails.
bool write_dump(const Osr_Run& r, const json& inst, std::FILE* out, uint64_t die_after, uint64_t& bytes,
                std::string& err) {
  Dump_Writer w(out, die_after);
  const json& schemas = inst["schemas"];
  std::string level = r.level();
  bool ok = w.header(r.instance, level);
  if (level == "table") {
    std::string s, t;
    if (!split_table_name(r.word("table"), s, t)) return (err = "table= needs SCHEMA.TABLE", false);
    if (!schemas.contains(s)) return (err = "schema \"" + s + "\" does not exist", false);
    const json* table = find_table(schemas[s], t);
    if (!table) return (err = "table \"" + s + "." + t + "\" does not exist", false);
    ok = ok && w.schema(s) && w.table(*table);
  } else if (level == "schema") {
    std::string s = r.word("schema");
    if (!schemas.contains(s)) return (err = "schema \"" + s + "\" does not exist", false);
    ok = ok && w.schema(s);
    for (const auto& t : schemas[s]) ok = ok && w.table(t);
  } else if (level == "database") {
    for (const auto& ts : inst["tablespaces"]) {
      if (ts.value("kind", "") != "p") continue;
      struct stat st;
      std::string file = ts.value("datafile", "");
      std::string path = datafile_path(r.home, r.instance, file);
      uint64_t pages = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) / PAGE_SIZE : 0;
      ok = ok && w.tablespace(ts.value("name", ""), file, pages);
    }
    for (auto it = schemas.begin(); it != schemas.end(); ++it) {
      if (is_system_schema(it.key())) continue;
      ok = ok && w.schema(it.key());
      for (const auto& t : *it) ok = ok && w.table(t);
    }
  } else {
    return (err = "unknown level \"" + level + "\"", false);
  }
  ok = ok && w.end();
  bytes = w.bytes();
  if (!ok) err = "cannot write " + r.word("file");
  return ok;
}

// Loads a dumped table into a schema's tables under the name as: a missing
// table is created; an existing one is replaced (recreatetable=true), has
// its rows replaced (deletetabledata=true) or gets the rows appended.
bool load_table(const Osr_Run& r, json& tables, const std::string& schema, const json& dumped, const std::string& as,
                std::string& err) {
  json t = dumped;
  t["name"] = as;
  json* have = find_table(tables, as);
  if (!have) {
    tables.push_back(t);
    return true;
  }
  if (r.flag("recreatetable")) {
    *have = t;
    return true;
  }
  if (table_width(*have) != table_width(t)) {
    err = "the rows of the dump do not fit table \"" + schema + "." + as + "\" (row width " +
          std::to_string(table_width(t)) + ", table " + std::to_string(table_width(*have)) + ")";
    return false;
  }
  std::vector<Segment> segs;
  if (!r.flag("deletetabledata")) segs = table_segments(*have);
  for (const Segment& s : table_segments(t)) segs.push_back(s);
  (*have)["width"] = table_width(*have);
  set_table_segments(*have, segs);
  return true;
}

// Loads a dumped schema into schema as: replaced whole (recreateschema=true)
// or created when missing and its tables loaded one by one.
bool load_schema(const Osr_Run& r, json& schemas, const Dump_Schema& dumped, const std::string& as, std::string& err) {
  if (r.flag("recreateschema") || !schemas.contains(as)) {
    schemas[as] = dumped.tables;
    return true;
  }
  for (const auto& t : dumped.tables) {
    if (!load_table(r, schemas[as], as, t, t.value("name", ""), err)) return false;
  }
  return true;
}

// Applies the dump to the instance entry as the run's level and words say.
// Data files of tablespaces to create are added to files.
bool apply_dump(const Osr_Run& r, const Dump& dump, json& inst, std::vector<Dump_Tablespace>& files, std::string& err) {
  json& schemas = inst["schemas"];
  std::string level = r.level();
  if (level == "table") {
    std::string s, t;
    if (!split_table_name(r.word("table"), s, t)) return (err = "table= needs SCHEMA.TABLE", false);
    if (!schemas.contains(s)) return (err = "schema \"" + s + "\" does not exist", false);
    const json* found = nullptr;
    size_t count = 0;
    for (const Dump_Schema& ds : dump.schemas) {
      count += ds.tables.size();
      if (!found) found = find_table(ds.tables, t);
    }
    if (!found && count == 1) {
      for (const Dump_Schema& ds : dump.schemas) {
        if (!ds.tables.empty()) found = &ds.tables[0];
      }
    }
    if (!found) return (err = "the dump holds no table \"" + t + "\"", false);
    return load_table(r, schemas[s], s, *found, t, err);
  }
  if (level == "schema") {
    std::string s = r.word("schema");
    if (s.empty()) return (err = "schema= is required at schema level", false);
    const Dump_Schema* found = nullptr;
    for (const Dump_Schema& ds : dump.schemas) {
      if (ds.name == s) found = &ds;
    }
    if (!found && dump.schemas.size() == 1) found = &dump.schemas[0];
    if (!found) return (err = "the dump holds no schema \"" + s + "\"", false);
    return load_schema(r, schemas, *found, s, err);
  }
  if (level != "database") return (err = "unknown level \"" + level + "\"", false);
  for (const Dump_Schema& ds : dump.schemas) {
    if (!load_schema(r, schemas, ds, ds.name, err)) return false;
  }
  if (!r.flag("tablespace")) return true;
  for (const Dump_Tablespace& ts : dump.tablespaces) {
    json* have = nullptr;
    for (auto& x : inst["tablespaces"]) {
      if (x.value("name", "") == ts.name) have = &x;
    }
    if (!have) {
      inst["tablespaces"].push_back(json{{"name", ts.name}, {"kind", "p"}, {"datafile", ts.datafile}});
      files.push_back(ts);
    } else if (!is_regular_file(datafile_path(r.home, r.instance, have->value("datafile", "")))) {
      files.push_back(Dump_Tablespace{ts.name, have->value("datafile", ""), ts.pages});
    }
  }
  return true;
}

}  // namespace

int run_osrexp(int argc, char** argv) {
  Osr_Run r{"osrexp", {}, {}, {}, {}, {}};
  json state;
  int status = prepare(r, argc, argv, state);
  if (status >= 0) return status;
  const json& inst = *find_instance(state, r.instance);
  std::string err, path = r.word("file");
  uint64_t bytes = 0;
  // A dry run first: objects are checked before the file is touched, and the
  // size tells where the middle of the file is.
  if (!write_dump(r, inst, nullptr, 0, bytes, err)) return r.fail(err);
  if (r.faults.has("no-file")) return 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "we"), std::fclose);
  if (!out) return r.fail("cannot create " + path);
  std::setvbuf(out.get(), nullptr, _IOFBF, 1 << 20);
  if (!write_dump(r, inst, out.get(), r.die_after(bytes), bytes, err) || std::fclose(out.release()) != 0) {
    ::unlink(path.c_str());
    return r.fail(err.empty() ? "cannot write " + path : err);
  }
  std::printf("exported %s level of %s to %s (%llu bytes)\n", r.level().c_str(), r.instance.c_str(), path.c_str(),
              static_cast<unsigned long long>(bytes));
  return r.faults.has("fail-keep") ? r.fail("simulated failure after writing the dump") : 0;
}

int run_osrimp(int argc, char** argv) {
  Osr_Run r{"osrimp", {}, {}, {}, {}, {}};
  json state;
  int status = prepare(r, argc, argv, state);
  if (status >= 0) return status;
  std::string err, path = r.word("file");
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return r.fail("cannot read " + path);
  Dump dump;
  if (!read_dump(path, r.die_after(static_cast<uint64_t>(st.st_size)), dump, err)) return r.fail(err);

  File_Lock data(r.home.data_lock(r.instance));
  File_Lock lock(r.home.state_lock());
  if (!data.held() || !lock.held()) return r.fail("cannot lock " + r.home.admin_dir());
  if (!load_state(r.home, state, err)) return r.fail(err);
  json* inst = find_instance(state, r.instance);
  if (!inst) return r.fail("database \"" + r.instance + "\" does not exist");
  json changed = *inst;
  std::vector<Dump_Tablespace> files;
  if (!apply_dump(r, dump, changed, files, err)) return r.fail(err);
  uint64_t lsn = changed.value("lsn", uint64_t{1}) + 1;
  for (const Dump_Tablespace& ts : files) {
    std::string file = datafile_path(r.home, r.instance, ts.datafile);
    if (!create_data_file(file, ts.pages ? ts.pages : 16, lsn, fnv1a(file.data(), file.size()), err)) {
      return r.fail(err);
    }
  }
  changed["lsn"] = lsn;
  *inst = changed;
  if (!save_state(r.home, state, err)) return r.fail(err);
  uint64_t tables = 0;
  for (const Dump_Schema& ds : dump.schemas) tables += ds.tables.size();
  std::printf("imported %s level into %s from %s (%zu schemas, %llu tables, %zu tablespaces)\n", r.level().c_str(),
              r.instance.c_str(), path.c_str(), dump.schemas.size(), static_cast<unsigned long long>(tables),
              files.size());
  return r.faults.has("fail-keep") ? r.fail("simulated failure after the import") : 0;
}

}  // namespace sim
