#include "oscar/restore_job_source_parser.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <new>

#include "oscar/restore_job_source.h"
#include "tollix/natoi.h"

namespace oscar {

namespace {
enum {
  KEY_ID = 1,
  KEY_NAME = 2,
  KEY_BACKUP_HOST_ID = 4,
  KEY_BACKUP_DEFINITION_ID = 8,
  KEY_SEQ = 16,
  KEY_POOL_UUID = 32,
  KEY_CATALOG_ID = 64,
  KEY_ORIGINAL = 128,
  KEY_ORIGINAL_DATABASE = 256,
  KEY_ORIGINAL_SCHEMA = 512,
  KEY_ORIGINAL_TABLE = 1024,
  KEY_ORIGINAL_BACKUP_FILE = 2048,
  KEY_RESTORE_AS = 4096,
  KEY_RESTORE_AS_DATABASE = 8192,
  KEY_RESTORE_AS_SCHEMA = 16384,
  KEY_RESTORE_AS_TABLE = 32768,
};

#define KEY_ROW(keyword, id) {keyword, sizeof(keyword) - 1, id}
}  // namespace

const Key2_Value_T<unsigned int> Restore_Job_Source_Parser::key_table[] = {
    KEY_ROW("id", KEY_ID),
    KEY_ROW("name", KEY_NAME),
    KEY_ROW("backup_host_id", KEY_BACKUP_HOST_ID),
    KEY_ROW("backup_definition_id", KEY_BACKUP_DEFINITION_ID),
    KEY_ROW("seq", KEY_SEQ),
    KEY_ROW("pool_uuid", KEY_POOL_UUID),
    KEY_ROW("catalog_id", KEY_CATALOG_ID),
    KEY_ROW("original", KEY_ORIGINAL),
    KEY_ROW("restore_as", KEY_RESTORE_AS),
    {nullptr, 0, 0},
};

const Key2_Value_T<unsigned int> Restore_Job_Source_Parser::original_key_table[] = {
    KEY_ROW("database", KEY_ORIGINAL_DATABASE),
    KEY_ROW("schema", KEY_ORIGINAL_SCHEMA),
    KEY_ROW("table", KEY_ORIGINAL_TABLE),
    KEY_ROW("backup_file", KEY_ORIGINAL_BACKUP_FILE),
    {nullptr, 0, 0},
};

const Key2_Value_T<unsigned int> Restore_Job_Source_Parser::restore_as_key_table[] = {
    KEY_ROW("database", KEY_RESTORE_AS_DATABASE),
    KEY_ROW("schema", KEY_RESTORE_AS_SCHEMA),
    KEY_ROW("table", KEY_RESTORE_AS_TABLE),
    {nullptr, 0, 0},
};

#undef KEY_ROW

Restore_Job_Source_Parser::Restore_Job_Source_Parser() {
  Restore_Job_Source* source = new (std::nothrow) Restore_Job_Source;
  if (source == nullptr) {
    errno = ENOMEM;
    return;
  }
  result_ = result_type(source);
}

Restore_Job_Source_Parser::~Restore_Job_Source_Parser() {}

Restore_Job_Source* Restore_Job_Source_Parser::source() const {
  return static_cast<Restore_Job_Source*>(result_.get());
}

bool Restore_Job_Source_Parser::handle_number_i(const char* text, std::size_t len) {
  if (states_.size() != 1) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  JSON_State& top = states_.back();
  if (top.key == KEY_SEQ && source() != nullptr) source()->seq(natoi<unsigned long long>(text, len));
  top.masks |= top.key;
  return true;
}

bool Restore_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() != 1 && states_.size() != 2) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  const std::string value(reinterpret_cast<const char*>(text), len);
  return states_.size() == 1 ? handle_level_1_string(value) : handle_level_2_string(value);
}

bool Restore_Job_Source_Parser::handle_level_1_string(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  Restore_Job_Source* src = source();
  switch (top.key) {
    case KEY_ID:
      if (src != nullptr) src->id(value);
      break;
    case KEY_NAME:
      if (src != nullptr) src->name(value);
      break;
    case KEY_BACKUP_HOST_ID:
      if (src != nullptr) src->backup_host_id(value);
      break;
    case KEY_BACKUP_DEFINITION_ID:
      if (src != nullptr) src->backup_definition_id(value);
      break;
    case KEY_POOL_UUID:
      if (src != nullptr) src->pool_uuid(value);
      break;
    case KEY_CATALOG_ID:
      if (src != nullptr) src->catalog_id(value);
      break;
    default:
      err_ = JSON_ERROR_UNEXPECTED;
      return false;
  }
  top.masks |= top.key;
  return true;
}

bool Restore_Job_Source_Parser::handle_level_2_string(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  Restore_Job_Source* src = source();
  switch (top.key) {
    case KEY_ORIGINAL_DATABASE:
      if (src != nullptr) src->get_original().database = value;
      break;
    case KEY_ORIGINAL_SCHEMA:
      if (src != nullptr) src->get_original().schema = value;
      break;
    case KEY_ORIGINAL_TABLE:
      if (src != nullptr) src->get_original().table = value;
      break;
    case KEY_ORIGINAL_BACKUP_FILE:
      if (src != nullptr) src->get_original().backup_file = value;
      break;
    case KEY_RESTORE_AS_DATABASE:
      if (src != nullptr) src->get_restore_as().database = value;
      break;
    case KEY_RESTORE_AS_SCHEMA:
      if (src != nullptr) src->get_restore_as().schema = value;
      break;
    case KEY_RESTORE_AS_TABLE:
      if (src != nullptr) src->get_restore_as().table = value;
      break;
    default:
      err_ = JSON_ERROR_UNEXPECTED;
      return false;
  }
  top.masks |= top.key;
  return true;
}

bool Restore_Job_Source_Parser::handle_start_map_i() { return push_state(true); }

bool Restore_Job_Source_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  const Key2_Value_T<unsigned int>* table = nullptr;
  if (states_.size() == 1) {
    table = key_table;
  } else if (states_.size() == 2 && states_[0].key == KEY_ORIGINAL) {
    table = original_key_table;
  } else if (states_.size() == 2 && states_[0].key == KEY_RESTORE_AS) {
    table = restore_as_key_table;
  }
  if (table != nullptr) {
    const Key2_Value_T<unsigned int>* entry = get_key_value_entry(table, reinterpret_cast<const char*>(key), len);
    if (entry->key != nullptr) states_.back().key = entry->value;
  }
  return true;
}

bool Restore_Job_Source_Parser::check_required(const JSON_State& state, unsigned int required_id,
                                               const char* keyword) {
  if ((state.masks & required_id) != 0) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse job definition source, lack of '%C'.\n"), keyword));
  err_ = JSON_ERROR_MISSING_KEY;
  return false;
}

bool Restore_Job_Source_Parser::handle_end_map_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  if (states_.size() == 1 && !check_required(states_[0], KEY_ID, "id")) return false;
  if (states_.size() == 2 && states_[0].key == KEY_ORIGINAL &&
      !check_required(states_[1], KEY_ORIGINAL_DATABASE, "database")) {
    return false;
  }
  if (states_.size() == 2 && states_[0].key == KEY_RESTORE_AS &&
      !check_required(states_[1], KEY_RESTORE_AS_DATABASE, "database")) {
    return false;
  }
  states_.pop_back();
  return true;
}

Restore_Job_Source_Parser::result_type Restore_Job_Source_Parser::result() { return result_; }

}  // namespace oscar
