#include <ace/Log_Msg.h>

#include <cstdint>
#include <string>

#include "oscar/arg_check.h"
#include "oscar/name_check.h"
#include "oscar/name_rule.h"
#include "oscar/oscar_cmd_handler.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/is_regular_file.h"
#include "tollix/string_sprintf.h"

namespace {

const char* const EXPORT_TABLE =
    "\"%s\" -U%s/%s -p%hu -d%s level=table file=%s mode=entirety ignore=false table=%s.%s view=false "
    "procedure=false sequence=false constraint=true trigger=true index=true";
const char* const EXPORT_SCHEMA =
    "\"%s\" -U%s/%s -p%hu -d%s level=schema file=%s mode=entirety ignore=false schema=%s view=true sequence=true "
    "procedure=true constraint=true trigger=true index=true";
const char* const EXPORT_DATABASE = "\"%s\" -U%s/%s -p%hu -d%s file=%s";

const char* const IMPORT_TABLE =
    "\"%s\" -U%s/%s -p%hu -d%s file=%s level=table mode=entirety ignore=false table=%s.%s recreateschema=false "
    "view=false sequence=true  procedure=false recreateotherobject=false recreatetable=true constraint=true "
    "deletetabledata=true trigger=true index=true";
const char* const IMPORT_SCHEMA =
    "\"%s\" -U%s/%s -p%hu -d%s file=%s level=schema mode=entirety ignore=false schema=%s recreateschema=true "
    "view=true sequence=true procedure=true recreateotherobject=true recreatetable=true constraint=false "
    "deletetabledata=true trigger=false index=false";
const char* const IMPORT_DATABASE = "\"%s\" -U%s/%s -p%hu -d%s file=%s recreateSchema=true tablespace=true";

const char* const CREATE_SCHEMA = "%s -hlocalhost -p %u -U%s/%s -d %s -c \"create schema if not exists %s\"";

enum Level { DATABASE_LEVEL, SCHEMA_LEVEL, TABLE_LEVEL };

// A table name counts only together with a schema name.
Level level_of(const std::string& schema, const std::string& table) {
  if (schema.empty()) return DATABASE_LEVEL;
  return table.empty() ? SCHEMA_LEVEL : TABLE_LEVEL;
}

std::string tool_path(const std::string& oscar_home, const char* tool) { return oscar_home + "/bin/" + tool; }

// The dump path is one word of the tool's command line, which is split at
// blanks and strips quotes: such characters would change the command.
bool valid_dump_path(const std::string& path) {
  const char* why = nullptr;
  if (path.empty()) {
    why = "it is empty";
  } else {
    for (char c : path) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7f || c == '"' || c == '\'') {
        why = "it holds a blank, a quote or a control character";
        break;
      }
    }
  }
  if (why == nullptr) return true;
  ACE_ERROR(
      (LM_ERROR, ACE_TEXT("%N:%l Invalid dump file path \"%C\": %C.\n"), oscar::printable_name(path).c_str(), why));
  return false;
}

bool valid_names(const std::string& database, const std::string& schema, const std::string& table,
                 const std::string& file) {
  const Level level = level_of(schema, table);
  if (!oscar::valid_object_name("database", database)) return false;
  if (level != DATABASE_LEVEL && !oscar::valid_object_name("schema", schema)) return false;
  if (level == TABLE_LEVEL && !oscar::valid_object_name("table", table)) return false;
  return valid_dump_path(file);
}

bool instance_port(const std::string& oscar_home, const std::string& instance, uint16_t& port) {
  if (get_instance_port(oscar_home.c_str(), instance.c_str(), port)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get port.\n")));
  return false;
}

int run(const std::string& oscar_home, const secure_string& cmd, const secure_string& password) {
  return oscar::execute_tool_cmd(oscar_home.c_str(), cmd.c_str(), password.c_str(), false, true, nullptr, nullptr);
}

}  // namespace

bool backup(const Backup_Input* input) {
  OSCAR_CHECK_PTR_ARG(input, false);
  if (!oscar::valid_account(input->username, input->password.c_str())) return false;
  // Every name is checked before the first export, so that a bad name in
  // the last file does not leave the earlier exports half a job.
  for (const Backup_File& f : input->files) {
    if (!valid_names(input->instance, f.schema, f.table, f.file)) return false;
  }
  const std::string osrexp = tool_path(input->oscar_home, "osrexp");
  for (const Backup_File& f : input->files) {
    uint16_t port = 0;
    if (!instance_port(input->oscar_home, input->instance, port)) return false;
    const char* user = input->username.c_str();
    const char* password = input->password.c_str();
    const char* instance = input->instance.c_str();
    secure_string cmd;
    switch (level_of(f.schema, f.table)) {
      case TABLE_LEVEL:
        string_sprintf(cmd, EXPORT_TABLE, osrexp.c_str(), user, password, port, instance, f.file.c_str(),
                       f.schema.c_str(), f.table.c_str());
        break;
      case SCHEMA_LEVEL:
        string_sprintf(cmd, EXPORT_SCHEMA, osrexp.c_str(), user, password, port, instance, f.file.c_str(),
                       f.schema.c_str());
        break;
      case DATABASE_LEVEL:
        string_sprintf(cmd, EXPORT_DATABASE, osrexp.c_str(), user, password, port, instance, f.file.c_str());
        break;
    }
    const int status = run(input->oscar_home, cmd, input->password);
    if (status < 0) return false;
    // A dump left by a failed export may be partial: only status 0 counts.
    if (status > 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Export to '%C' failed: osrexp ended with status %d.\n"), f.file.c_str(), status));
      return false;
    }
    if (!is_regular_file(f.file.c_str())) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Osr file does not exist, path: '%C'.\n"), f.file.c_str()));
      return false;
    }
  }
  return true;
}

bool restore(const Restore_Input* input) {
  OSCAR_CHECK_PTR_ARG(input, false);
  const std::string& database = input->restore_as_database;
  const std::string& schema = input->restore_as_schema;
  const std::string& table = input->restore_as_table;
  if (!oscar::valid_account(input->username, input->password.c_str())) return false;
  if (!valid_names(database, schema, table, input->backup_file)) return false;
  uint16_t port = 0;
  if (!instance_port(input->oscar_home, database, port)) return false;
  const std::string osrimp = tool_path(input->oscar_home, "osrimp");
  const char* user = input->username.c_str();
  const char* password = input->password.c_str();
  const char* file = input->backup_file.c_str();
  secure_string cmd;
  switch (level_of(schema, table)) {
    case TABLE_LEVEL: {
      // A table is imported into an existing schema only. A failed creation
      // is left to the import to report.
      const std::string isql = tool_path(input->oscar_home, "isql");
      string_sprintf(cmd, CREATE_SCHEMA, isql.c_str(), static_cast<unsigned>(port), user, password, database.c_str(),
                     schema.c_str());
      run(input->oscar_home, cmd, input->password);
      string_sprintf(cmd, IMPORT_TABLE, osrimp.c_str(), user, password, port, database.c_str(), file, schema.c_str(),
                     table.c_str());
      break;
    }
    case SCHEMA_LEVEL:
      string_sprintf(cmd, IMPORT_SCHEMA, osrimp.c_str(), user, password, port, database.c_str(), file, schema.c_str());
      break;
    case DATABASE_LEVEL:
      string_sprintf(cmd, IMPORT_DATABASE, osrimp.c_str(), user, password, port, database.c_str(), file);
      break;
  }
  const int status = run(input->oscar_home, cmd, input->password);
  if (status > 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Import of '%C' failed: osrimp ended with status %d.\n"), file, status));
  }
  return status == 0;
}
