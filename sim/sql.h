#ifndef SIM_SQL_H
#define SIM_SQL_H

// The few SQL statements the simulated server understands, evaluated over an
// instance's state entry:
//   select version()
//   select COLUMNS|* from VIEW [where COND [and COND]...]
//     COND: COLUMN = 'text' | COLUMN <> 'text' | COLUMN [not] in ('text', ...)
//     VIEW: v_sys_database_info, v_sys_schemas, v_sys_tables,
//           sys_tablespace, v_sys_ha_slave_info
//   create schema [if not exists] NAME
//   create tablespace NAME datafile 'PATH'
//   shutdown [immediate]
// Keywords and column names ignore case; text literals are compared exactly
// and a doubled quote stands for one quote.

#include <string>
#include <vector>

#include "state.h"

namespace sim {

struct Sql_Result {
  enum Kind { ROWS, DONE, SHUTDOWN } kind = DONE;
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  std::string message;   // for DONE: what the statement did
  bool changed = false;  // the instance entry was modified and must be saved
};

struct Sql_Context {
  std::string instance;      // stored name of the instance
  std::string data_dir;      // HOME/odbs/NAME
  std::string version_text;  // the answer to select version()
};

// Evaluates one statement. False with err (a message for "isql: ERROR, ...")
// when the statement is not understood or cannot be carried out; inst is
// then unchanged.
bool execute_sql(const std::string& sql, const Sql_Context& ctx, json& inst, Sql_Result& out, std::string& err);

// The table as the shell prints it: a heading, a dashed separator, one line
// per row with columns separated by "|", and "(N rows)". extra_column adds
// a bogus trailing column to every row (the malformed-output fault).
std::string format_result(const Sql_Result& r, bool extra_column);

}  // namespace sim

#endif
