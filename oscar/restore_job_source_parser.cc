#include "oscar/restore_job_source_parser.h"

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

// The required key of each object: "id" at the top, "database" in
// "original" and in "restore_as" (ids are distinct bits across the tables).
const unsigned int REQUIRED_KEYS = KEY_ID | KEY_ORIGINAL_DATABASE | KEY_RESTORE_AS_DATABASE;
const ACE_TCHAR LACK_OF_KEY[] = ACE_TEXT("Failed to parse job definition source, lack of '%C'.\n");

#define KEY_ROW(keyword, id) \
  { keyword, sizeof(keyword) - 1, id }
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

Restore_Job_Source_Parser::Restore_Job_Source_Parser() = default;

bool Restore_Job_Source_Parser::handle_start_array_i() {
  ++open_arrays_;
  return true;
}

bool Restore_Job_Source_Parser::handle_end_array_i() {
  if (open_arrays_ > 0) --open_arrays_;
  return true;
}

bool Restore_Job_Source_Parser::array_value() { return states_.back().key != 0 ? stop(JSON_ERROR_UNEXPECTED) : true; }

bool Restore_Job_Source_Parser::handle_number_i(const char* text, std::size_t len) {
  if (states_.size() != 1) return stop(JSON_ERROR_UNEXPECTED);
  if (open_arrays_ > 0) return array_value();
  JSON_State& top = states_.back();
  if (top.key == KEY_SEQ && doc() != nullptr) doc()->seq(natoi<unsigned long long>(text, len));
  top.masks |= top.key;
  return true;
}

bool Restore_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() != 1 && states_.size() != 2) return stop(JSON_ERROR_UNEXPECTED);
  if (open_arrays_ > 0) return array_value();
  const std::string value(reinterpret_cast<const char*>(text), len);
  return states_.size() == 1 ? handle_level_1_string(value) : handle_level_2_string(value);
}

bool Restore_Job_Source_Parser::handle_level_1_string(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  Restore_Job_Source* src = doc();
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
    default: return stop(JSON_ERROR_UNEXPECTED);
  }
  top.masks |= top.key;
  return true;
}

bool Restore_Job_Source_Parser::handle_level_2_string(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  Restore_Job_Source* src = doc();
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
    default: return stop(JSON_ERROR_UNEXPECTED);
  }
  top.masks |= top.key;
  return true;
}

const Key2_Value_T<unsigned int>* Restore_Job_Source_Parser::object_key_table() const {
  if (states_.size() == 1) return key_table;
  if (states_.size() == 2 && states_[0].key == KEY_ORIGINAL) return original_key_table;
  if (states_.size() == 2 && states_[0].key == KEY_RESTORE_AS) return restore_as_key_table;
  return nullptr;
}

bool Restore_Job_Source_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  return take_key(object_key_table(), key, len);
}

bool Restore_Job_Source_Parser::handle_end_map_i() {
  return close_container(object_key_table(), REQUIRED_KEYS, LACK_OF_KEY);
}

}  // namespace oscar
