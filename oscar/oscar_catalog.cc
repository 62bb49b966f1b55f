#include "oscar/oscar_catalog.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstring>
#include <memory>

#include "oscar/arg_check.h"
#include "oscar/oscar_query_handler.h"
#include "oscar/oscar_regex.h"
#include "oscar/process_options.h"
#include "tollix/natoi.h"
#include "tollix/snprintf_t.h"

namespace {

const int CAPTURE_BOTH = 6;

const char* const oscar_sys_schema[] = {
    "(null)\\ROOT", "DIRECTORIES", "INFO_SCHEM", "PUBLIC",    "REPLICATION",     "STAGENT", "SYSAUDIT",
    "SYSDBA",       "SYSFTSDBA",   "SYSMONITOR", "SYSSECURE", "SYS_GLOBAL_TEMP", "WMSYS",
};

// Stores the build text (or the whole match) of the last version line.
class Version_Line_Handler : public Text_Process_Handler {
 public:
  Version_Line_Handler(std::string& ver, bool full) : Text_Process_Handler(0), ver_(ver), full_(full) {}
  ~Version_Line_Handler() override = default;

  int handle_stdout_line(const char* line, unsigned long len) override {
    boost::cmatch m;
    if (boost::regex_search(line, line + len, m, RE_VERSION_LINE)) ver_ = full_ ? m.str(0) : m.str(1);
    return 0;
  }

 private:
  std::string& ver_;
  bool full_;
};

bool run_version(const char* oscar_home, const char* cmd, std::string& version, bool full_version) {
  std::unique_ptr<ACE_Process_Options> opts = new_process_options(std::strlen(cmd));
  if (!opts || !set_process_opts(oscar_home, cmd, *opts)) return false;
  Version_Line_Handler handler(version, full_version);
  return handler.call(CAPTURE_BOTH, *opts) == 0;
}

}  // namespace

bool get_version(const char* oscar_home, uint16_t port, const char* instance, std::string& version, bool full_version) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  OSCAR_CHECK_TEXT_ARG(instance, false);
  snprintf_t<4096> cmd("%s/bin/isql -p %u -d %s -c \"select version()\"", oscar_home, static_cast<unsigned>(port),
                       instance);
  return run_version(oscar_home, cmd.c_str(), version, full_version);
}

bool get_isql_version(const char* oscar_home, std::string& version, bool full_version) {
  OSCAR_CHECK_TEXT_ARG(oscar_home, false);
  snprintf_t<4096> cmd("%s/bin/isql --version", oscar_home);
  return run_version(oscar_home, cmd.c_str(), version, full_version);
}

bool get_log_mode(const char* oscar_home, const char* instance, const char* username, const char* password,
                  uint16_t port, bool& archivelog) {
  Oscar_Query_Handler q(oscar_home ? oscar_home : "", instance ? instance : "", username ? username : "",
                        password ? password : "", port, "localhost");
  if (!q.select("select archivemode from v_sys_database_info")) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get log mode.\n")));
    return false;
  }
  const Result_type& r = q.result();
  if (r.size() != 1 || r[0].size() != 1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%s\n"), q.output().c_str()));
    return false;
  }
  archivelog = r[0][0] == "ARCHIVELOG";
  return true;
}

bool get_oscar_schemas(const char* oscar_home, const char* instance, const char* username, const char* password,
                       uint16_t port, std::vector<std::string>& schemas) {
  Oscar_Query_Handler q(oscar_home ? oscar_home : "", instance ? instance : "", username ? username : "",
                        password ? password : "", port, "localhost");
  if (!q.select("select TABLE_SCHEM from v_sys_schemas")) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar schemas, %s\n"), q.output().c_str()));
    return false;
  }
  schemas.reserve(schemas.size() + q.result().size());
  for (const auto& row : q.result()) {
    if (row.size() != 1 || row[0].empty()) continue;
    std::string name = boost::algorithm::trim_copy(row[0]);
    if (!is_sys_schema(name)) schemas.push_back(name);
  }
  return true;
}

bool get_oscar_tables(const char* oscar_home, const char* instance, const char* username, const char* password,
                      uint16_t port, const char* schema, std::vector<std::string>& tables) {
  OSCAR_CHECK_TEXT_ARG(schema, false);
  std::string name = boost::algorithm::to_upper_copy(std::string(schema));
  if (name.find_first_of("\"\r\n") != std::string::npos) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid schema name %s, it holds a double quote or a line break.\n"), schema));
    return false;
  }
  boost::algorithm::replace_all(name, "'", "''");
  snprintf_t<4096> sql("select TABLE_SCHEM,TABLE_NAME,TABLE_TYPE from v_sys_tables where TABLE_SCHEM='%s'",
                       name.c_str());
  Oscar_Query_Handler q(oscar_home ? oscar_home : "", instance ? instance : "", username ? username : "",
                        password ? password : "", port, "localhost");
  if (!q.select(sql.c_str())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar %s tables %s\n"), schema, q.output().c_str()));
    return false;
  }
  tables.reserve(tables.size() + q.result().size());
  for (const auto& row : q.result()) {
    if (row.size() >= 3) tables.push_back(boost::algorithm::trim_copy(row[1]));
  }
  return true;
}

bool get_user_tablespaces(const char* oscar_home, const char* instance, const char* username, const char* password,
                          uint16_t port, std::vector<std::string>& tablespaces) {
  Oscar_Query_Handler q(oscar_home ? oscar_home : "", instance ? instance : "", username ? username : "",
                        password ? password : "", port, "localhost");
  if (!q.select("select tsname from sys_tablespace where tsname not in ('SYSTEM', 'AUDIT', 'CDC') and tskind not "
                "in ('u', 't')")) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%s\n"), q.output().c_str()));
    return false;
  }
  tablespaces.reserve(tablespaces.size() + q.result().size());
  for (const auto& row : q.result()) tablespaces.push_back(row[0]);
  return true;
}

bool get_cluster_nodes_info(const char* oscar_home, const char* instance, const char* username, const char* password,
                            uint16_t port, const char* virtual_address, std::vector<Oscar_Node_Info>& nodes) {
  Oscar_Query_Handler q(oscar_home ? oscar_home : "", instance ? instance : "", username ? username : "",
                        password ? password : "", port, virtual_address ? virtual_address : "");
  if (!q.select("select NODE_ID,ADDRESS,STATUS from v_sys_ha_slave_info")) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar cluster nodes, %s\n"), q.output().c_str()));
    return false;
  }
  nodes.reserve(nodes.size() + q.result().size());
  for (const auto& row : q.result()) {
    if (row.size() != 3 || row[0].empty()) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Error node info, %s\n"), q.output().c_str()));
      continue;
    }
    std::string id_text = boost::algorithm::trim_copy(row[0]);
    const char* begin = id_text.c_str();
    const char* end = begin + id_text.size();
    const char* stop = begin;
    int id = natoi<int>(begin, end, &stop);
    if (errno == ERANGE) {
      ACE_DEBUG((LM_WARNING, ACE_TEXT("node id integer overflow: %s\n"), id_text.c_str()));
      continue;
    }
    if (stop != end) {
      ACE_DEBUG((LM_WARNING, ACE_TEXT("node id contains non-digit: %s\n"), id_text.c_str()));
      continue;
    }
    if (id <= 0) {
      ACE_DEBUG((LM_WARNING, ACE_TEXT("node id integer overflow: %s\n"), id_text.c_str()));
      continue;
    }
    Oscar_Node_Info node;
    node.node_id = id;
    node.host = boost::algorithm::trim_copy(row[1]);
    node.status = boost::algorithm::trim_copy(row[2]);
    node.instance = instance ? instance : "";
    nodes.push_back(std::move(node));
  }
  return true;
}

bool is_sys_schema(const std::string& name) {
  for (const char* sys : oscar_sys_schema) {
    if (name == sys) return true;
  }
  return false;
}
