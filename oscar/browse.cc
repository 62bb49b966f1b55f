#include <ace/Log_Msg.h>

#include <vector>

#include "oscar/arg_check.h"
#include "oscar/oscar_catalog.h"
#include "oscar/utils.h"

bool get_database_info(const Instance_ptr& inst, const char* instance, const char* username, const char* password,
                       nlohmann::json& value) {
  OSCAR_CHECK_TEXT_ARG(instance, false);
  OSCAR_CHECK_TEXT_ARG(username, false);
  OSCAR_CHECK_TEXT_ARG(password, false);
  if (!inst) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to invoke get_database_info, empty inst, instance %s.\n"), instance));
    return false;
  }
  value = nlohmann::json::array();
  value.push_back(nlohmann::json::object());
  nlohmann::json& db = value.back();
  db["database"] = instance;
  std::string home;
  if (!get_from_instance_options(inst, "oscar_home", home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar home, instance %s.\n"), instance));
    return false;
  }
  if (!test_login_instance(home.c_str(), instance, username, password, nullptr)) {
    db["status"] = "unopened";
    return true;
  }
  db["status"] = "open";
  uint16_t port = 0;
  if (!get_instance_port(home.c_str(), instance, port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get port, instance %s.\n"), instance));
    return false;
  }
  bool archivelog = true;
  if (!get_log_mode(home.c_str(), instance, username, password, port, archivelog)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get archive mode, instance %s.\n"), instance));
    return false;
  }
  db["archivelog"] = archivelog;
  std::string version;
  if (!get_from_instance_options(inst, "version", version)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get version, instance %s.\n"), instance));
    return false;
  }
  db["version"] = version;
  return true;
}

bool get_schemas_info(const Instance_ptr& inst, const char* instance, const char* db, const char* username,
                      const char* password, nlohmann::json& val) {
  OSCAR_CHECK_TEXT_ARG(instance, false);
  OSCAR_CHECK_TEXT_ARG(db, false);
  OSCAR_CHECK_TEXT_ARG(username, false);
  OSCAR_CHECK_TEXT_ARG(password, false);
  if (!inst) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to invoke get_schemas_info, empty inst, database %s.\n"), db));
    return false;
  }
  std::string home;
  if (!get_from_instance_options(inst, "oscar_home", home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar home, database %s.\n"), db));
    return false;
  }
  uint16_t port = 0;
  if (!get_instance_port(home.c_str(), instance, port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get port, database %s.\n"), db));
    return false;
  }
  std::vector<std::string> schemas;
  if (!get_oscar_schemas(home.c_str(), instance, username, password, port, schemas)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get schemas of database: %s.\n"), db));
    return false;
  }
  val = nlohmann::json::array();
  for (const auto& s : schemas) val.push_back(s);
  return true;
}

bool get_tables_info(const Instance_ptr& inst, const char* instance, const char* db, const char* schema,
                     const char* username, const char* password, nlohmann::json& val) {
  OSCAR_CHECK_TEXT_ARG(instance, false);
  OSCAR_CHECK_TEXT_ARG(db, false);
  OSCAR_CHECK_TEXT_ARG(schema, false);
  OSCAR_CHECK_TEXT_ARG(username, false);
  OSCAR_CHECK_TEXT_ARG(password, false);
  if (!inst) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("Failed to invoke get_tables_info, empty instdatabase: %s, schema: %s.\n"), db, schema));
    return false;
  }
  std::string home;
  if (!get_from_instance_options(inst, "oscar_home", home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar homedatabase: %s, schema: %s.\n"), db, schema));
    return false;
  }
  uint16_t port = 0;
  if (!get_instance_port(home.c_str(), instance, port)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get portdatabase: %s, schema: %s.\n"), db, schema));
    return false;
  }
  std::vector<std::string> tables;
  if (!get_oscar_tables(home.c_str(), instance, username, password, port, schema, tables)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get tables of database: %s, schema: %s.\n"), db, schema));
    return false;
  }
  val = nlohmann::json::array();
  for (const auto& t : tables) val.push_back(t);
  return true;
}
