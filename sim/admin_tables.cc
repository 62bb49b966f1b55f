// "oscar-sim" commands over an instance's tables and tablespaces, for tests
// that export, drop and import content:
//   create-table HOME --instance NAME SCHEMA.TABLE [--rows N] [--row-bytes W]
//   change-table HOME --instance NAME SCHEMA.TABLE [--rows N]
//   table-checksum HOME --instance NAME SCHEMA.TABLE
//   drop HOME --instance NAME SCHEMA[.TABLE]
//   drop-tablespace HOME --instance NAME TABLESPACE
// They need no running server; changes hold the home's state lock.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "admin_commands.h"
#include "home.h"
#include "sim_util.h"
#include "state.h"
#include "table_data.h"

namespace sim {

namespace {

std::string option(const Admin_Args& args, const char* name, const std::string& fallback = std::string()) {
  auto it = args.options.find(name);
  return it == args.options.end() ? fallback : it->second;
}

// The one object name the command takes, or an error printed.
bool one_name(const Admin_Args& args, std::string& name) {
  if (args.rest.size() != 1 || args.rest[0].empty()) {
    admin_error("the " + args.command + " command needs exactly one object name");
    return false;
  }
  name = args.rest[0];
  return true;
}

// Runs change on the instance entry (and its stored name) under the state lock and saves the
// state when change succeeds; lsn grows by one with every change.
int change_instance(const Admin_Args& args,
                    const std::function<bool(json&, const std::string&, std::string&)>& change) {
  Home home{args.home};
  std::string inst_name = option(args, "instance"), err, name;
  if (inst_name.empty()) return admin_error("--instance NAME is required");
  File_Lock lock(home.state_lock());
  if (!lock.held()) return admin_error("cannot lock " + home.state_lock());
  json state;
  if (!load_state(home, state, err)) return admin_error(err);
  json* inst = find_instance(state, inst_name, &name);
  if (!inst) return admin_error("instance " + inst_name + " does not exist in " + home.root);
  if (!change(*inst, name, err)) return admin_error(err);
  (*inst)["lsn"] = inst->value("lsn", uint64_t{1}) + 1;
  if (!save_state(home, state, err)) return admin_error(err);
  return 0;
}

bool number_option(const Admin_Args& args, const char* name, uint64_t fallback, uint64_t& value, std::string& err) {
  std::string text = option(args, name);
  value = fallback;
  if (!text.empty() && !parse_u64(text, value)) {
    err = std::string("--") + name + " needs a number";
    return false;
  }
  return true;
}

// A seed for new content: differs by table and by the instance's lsn, so
// that every change gives different rows.
uint64_t new_seed(const json& inst, const std::string& qualified) {
  uint64_t lsn = inst.value("lsn", uint64_t{1});
  return fnv1a(qualified.data(), qualified.size(), fnv1a(&lsn, sizeof lsn));
}

}  // namespace

int admin_create_table(const Admin_Args& args) {
  std::string qualified, s, t;
  if (!one_name(args, qualified)) return 1;
  if (!split_table_name(qualified, s, t)) return admin_error("expected SCHEMA.TABLE, got " + qualified);
  return change_instance(args, [&](json& inst, const std::string&, std::string& err) {
    uint64_t rows = 0, width = 0;
    if (!number_option(args, "rows", 100, rows, err) ||
        !number_option(args, "row-bytes", DEFAULT_ROW_BYTES, width, err))
      return false;
    if (width < MIN_ROW_BYTES || width > MAX_ROW_BYTES) {
      err = "--row-bytes needs a number from " + std::to_string(MIN_ROW_BYTES) + " to " + std::to_string(MAX_ROW_BYTES);
      return false;
    }
    json& schemas = inst["schemas"];
    if (!schemas.contains(s)) schemas[s] = json::array();
    if (find_table(schemas[s], t)) {
      err = "table " + qualified + " already exists";
      return false;
    }
    schemas[s].push_back(make_table(t, "BASE TABLE", width, {Segment{new_seed(inst, qualified), rows}}));
    return true;
  });
}

int admin_change_table(const Admin_Args& args) {
  std::string qualified, s, t;
  if (!one_name(args, qualified)) return 1;
  if (!split_table_name(qualified, s, t)) return admin_error("expected SCHEMA.TABLE, got " + qualified);
  return change_instance(args, [&](json& inst, const std::string&, std::string& err) {
    json* table = inst["schemas"].contains(s) ? find_table(inst["schemas"][s], t) : nullptr;
    if (!table) {
      err = "table " + qualified + " does not exist";
      return false;
    }
    uint64_t rows = 0;
    if (!number_option(args, "rows", table_rows(*table), rows, err)) return false;
    (*table)["width"] = table_width(*table);
    set_table_segments(*table, {Segment{new_seed(inst, qualified), rows}});
    return true;
  });
}

int admin_table_checksum(const Admin_Args& args) {
  std::string qualified, s, t, err, name;
  if (!one_name(args, qualified)) return 1;
  if (!split_table_name(qualified, s, t)) return admin_error("expected SCHEMA.TABLE, got " + qualified);
  Home home{args.home};
  json state;
  if (!load_state(home, state, err)) return admin_error(err);
  json* inst = find_instance(state, option(args, "instance"), &name);
  if (!inst) return admin_error("instance " + option(args, "instance") + " does not exist in " + home.root);
  const json* table = (*inst)["schemas"].contains(s) ? find_table((*inst)["schemas"][s], t) : nullptr;
  if (!table) return admin_error("table " + qualified + " does not exist");
  std::printf("%016llx\n", static_cast<unsigned long long>(table_checksum(*table)));
  return 0;
}

int admin_drop(const Admin_Args& args) {
  std::string target, s, t;
  if (!one_name(args, target)) return 1;
  bool whole_schema = !split_table_name(target, s, t);
  if (whole_schema) s = target;
  return change_instance(args, [&](json& inst, const std::string&, std::string& err) {
    json& schemas = inst["schemas"];
    if (!schemas.contains(s)) {
      err = "schema " + s + " does not exist";
      return false;
    }
    if (whole_schema) {
      if (is_system_schema(s)) {
        err = "schema " + s + " belongs to the server";
        return false;
      }
      schemas.erase(s);
      return true;
    }
    json kept = json::array();
    for (const auto& x : schemas[s]) {
      if (x.value("name", "") != t) kept.push_back(x);
    }
    if (kept.size() == schemas[s].size()) {
      err = "table " + target + " does not exist";
      return false;
    }
    schemas[s] = kept;
    return true;
  });
}

int admin_drop_tablespace(const Admin_Args& args) {
  std::string ts_name;
  if (!one_name(args, ts_name)) return 1;
  std::string path;
  int status = change_instance(args, [&](json& inst, const std::string& inst_name, std::string& err) {
    json kept = json::array();
    for (const auto& ts : inst["tablespaces"]) {
      if (ts.value("name", "") != ts_name) {
        kept.push_back(ts);
        continue;
      }
      if (ts.value("kind", "") != "p") {
        err = "tablespace " + ts_name + " is not a user tablespace";
        return false;
      }
      std::string file = ts.value("datafile", "");
      path = !file.empty() && file[0] == '/' ? file : Home{args.home}.data_dir(inst_name) + "/" + file;
    }
    if (kept.size() == inst["tablespaces"].size()) {
      err = "tablespace " + ts_name + " does not exist";
      return false;
    }
    inst["tablespaces"] = kept;
    return true;
  });
  if (status != 0) return status;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return admin_error("cannot remove data file " + path + ": " + std::strerror(errno));
  }
  return 0;
}

}  // namespace sim
