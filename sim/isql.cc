// The query shell: "isql -UUSER/PASSWORD -hHOST -dNAME -pPORT -c \"SQL\"",
// "isql -UUSER/PASSWORD -dNAME -pPORT -l" (login test),
// "isql -p PORT -d NAME -c \"select version()\"" and "isql --version".
// Option values may be glued to the letter or follow as the next word.
// Errors go to standard error as "isql: ERROR, <message>" with a non-zero
// exit status; the password never appears in any output.

#include <cstdio>
#include <map>
#include <string>

#include "faults.h"
#include "home.h"
#include "net.h"
#include "roles.h"
#include "sim_util.h"
#include "sql.h"
#include "state.h"

namespace sim {

namespace {

int isql_error(const std::string& text, int status = 1) {
  std::fprintf(stderr, "isql: ERROR, %s\n", text.c_str());
  return status;
}

struct Isql_Args {
  std::map<char, std::string> opts;  // U, h, d, p, c
  bool login_test = false;
  bool version = false;
};

bool parse_isql_args(int argc, char** argv, Isql_Args& a, std::string& err) {
  for (int i = 1; i < argc; ++i) {
    std::string w = argv[i];
    if (w == "--version" || w == "-V") {
      a.version = true;
    } else if (w == "-l") {
      a.login_test = true;
    } else if (w.size() >= 2 && w[0] == '-' && std::string("Uhdpc").find(w[1]) != std::string::npos) {
      if (w.size() > 2) {
        a.opts[w[1]] = w.substr(2);
      } else if (i + 1 < argc) {
        a.opts[w[1]] = argv[++i];
      } else {
        err = std::string("option -") + w[1] + " needs a value";
        return false;
      }
    } else {
      err = "unknown argument \"" + w + "\"";
      return false;
    }
  }
  return true;
}

// Whether a fault item applies to this statement: no value means every
// statement, a value means statements containing it (ignoring case).
bool applies(const Faults& f, const char* item, const std::string& sql) {
  if (!f.has(item)) return false;
  std::string v = f.value(item);
  return v.empty() || to_upper(sql).find(to_upper(v)) != std::string::npos;
}

}  // namespace

int run_isql(int argc, char** argv) {
  Isql_Args a;
  std::string err;
  if (!parse_isql_args(argc, argv, a, err)) return isql_error(err, 2);
  Home home{home_of_program(argv[0])};
  json state;
  if (home.root.empty()) return isql_error("cannot find the database home (SZ_OSCAR_HOME is not set)", 2);
  if (!load_state(home, state, err)) return isql_error(err, 2);
  std::string build = " " + state.value("version", "") + " (build " + state.value("build", "") + ") for " +
                      state.value("platform", "Linux");
  std::string version = state.value("product", "OSCAR") + build;
  if (a.version) {
    std::printf("isql (%s)%s\n", state.value("product", "OSCAR").c_str(), build.c_str());
    return 0;
  }
  std::string inst_arg = a.opts['d'];
  if (inst_arg.empty()) return isql_error("no database given (-d)", 2);
  std::string name;
  json* inst = find_instance(state, inst_arg, &name);
  if (!inst) return isql_error("database \"" + inst_arg + "\" does not exist");
  Faults faults = Faults::for_tool("isql", inst);
  std::string sql = a.opts['c'];
  if (applies(faults, "hang", sql)) hang_until_killed();

  Instance_Conf conf = read_instance_conf(home, name);
  std::string host = a.opts.count('h') ? a.opts['h'] : "localhost";
  if (host != "localhost" && host != "127.0.0.1" && !(conf.vip.size() && host == conf.vip)) {
    return isql_error("could not connect to server at \"" + host + "\": No route to host", 2);
  }
  uint16_t port = conf.exists ? conf.port : 2003;
  if (a.opts.count('p')) {
    uint64_t p = 0;
    if (!parse_u64(a.opts['p'], p) || p == 0 || p > 65535) return isql_error("invalid port \"" + a.opts['p'] + "\"", 2);
    port = static_cast<uint16_t>(p);
  }
  std::string reply;
  if (!request(port, "PING " + name, reply, err)) {
    return isql_error(err + " (127.0.0.1:" + std::to_string(port) + ")", 2);
  }
  if (reply != "OK " + name) {
    return isql_error("server on port " + std::to_string(port) + " is not database \"" + name + "\"", 2);
  }

  bool logged_in = false;
  if (a.opts.count('U')) {
    std::string cred = a.opts['U'];
    size_t slash = cred.find('/');
    std::string user = cred.substr(0, slash);
    std::string password = slash == std::string::npos ? std::string() : cred.substr(slash + 1);
    const json& acc = (*inst)["account"];
    if (faults.has("refuse") || user != acc.value("user", "") || password != acc.value("password", "")) {
      return isql_error("password authentication failed for user \"" + user + "\"");
    }
    logged_in = true;
  }
  if (applies(faults, "fail", a.login_test ? std::string("login") : sql)) return isql_error("simulated failure");
  if (a.login_test) {
    if (!logged_in) return isql_error("no user given (-U)", 2);
    std::printf("Connected to database %s.\n", name.c_str());
    return 0;
  }
  if (sql.empty()) return isql_error("no statement given (-c)", 2);

  Sql_Context ctx{name, home.data_dir(name), version + " on 127.0.0.1:" + std::to_string(port)};
  Sql_Result result;
  if (!logged_in) {
    // Without an account only the version may be asked.
    json copy = *inst;
    if (!execute_sql(sql, ctx, copy, result, err) || result.kind != Sql_Result::ROWS || result.columns.size() != 1 ||
        result.columns[0] != "version") {
      return isql_error("login required for this statement (-U)");
    }
  } else {
    File_Lock lock(home.state_lock());
    if (!lock.held()) return isql_error("cannot lock the state file", 2);
    if (!load_state(home, state, err) || !(inst = find_instance(state, name))) return isql_error(err, 2);
    if (!execute_sql(sql, ctx, *inst, result, err)) return isql_error(err);
    if (result.changed && !save_state(home, state, err)) return isql_error(err, 2);
  }
  if (result.kind == Sql_Result::SHUTDOWN) {
    if (!request(port, "SHUTDOWN " + name, reply, err) || reply != "BYE " + name) {
      return isql_error("shutdown failed: " + (err.empty() ? reply : err));
    }
    std::printf("Database %s shut down.\n", name.c_str());
    return 0;
  }
  if (result.kind == Sql_Result::DONE) {
    std::printf("%s\n", result.message.c_str());
    return 0;
  }
  std::fputs(format_result(result, applies(faults, "malformed", sql)).c_str(), stdout);
  return 0;
}

}  // namespace sim
