#include "oscar/backup_job_source_parser.h"

#include "oscar/backup_job_source.h"

namespace oscar {

namespace {
enum { KEY_ID = 1, KEY_NAME = 2, KEY_ENTRIES = 4 };
const unsigned int REQUIRED_KEYS = KEY_ID | KEY_ENTRIES;
const ACE_TCHAR LACK_OF_KEY[] = ACE_TEXT("Failed to parse job definition source, lack of '%C'.\n");
}  // namespace

const Key2_Value_T<unsigned int> Backup_Job_Source_Parser::key_table_1[] = {
    {"id", sizeof("id") - 1, KEY_ID},
    {"name", sizeof("name") - 1, KEY_NAME},
    {"entries", sizeof("entries") - 1, KEY_ENTRIES},
    {nullptr, 0, 0},
};

Backup_Job_Source_Parser::Backup_Job_Source_Parser() = default;

bool Backup_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() == 1) return handle_level_1_string(text, len);
  if (states_.size() == 2) return handle_level_2_string(text, len);
  return stop(JSON_ERROR_UNEXPECTED);
}

bool Backup_Job_Source_Parser::handle_level_1_string(const unsigned char* text, std::size_t len) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  const std::string value(reinterpret_cast<const char*>(text), len);
  switch (top.key) {
    case KEY_ID:
      if (doc() != nullptr) doc()->id(value);
      break;
    case KEY_NAME:
      if (doc() != nullptr) doc()->name(value);
      break;
    default: return stop(JSON_ERROR_UNEXPECTED);
  }
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Source_Parser::handle_level_2_string(const unsigned char* text, std::size_t len) {
  const JSON_State& top = states_[1];
  if (!top.obj) {
    if (states_[0].key == KEY_ENTRIES && doc() != nullptr) {
      doc()->entries().push_back(std::string(reinterpret_cast<const char*>(text), len));
    }
    return true;
  }
  if (top.key != 0) return stop(JSON_ERROR_UNEXPECTED);
  return true;
}

bool Backup_Job_Source_Parser::handle_start_array_i() { return push_state(false); }

bool Backup_Job_Source_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  return take_key(states_.size() == 1 ? key_table_1 : nullptr, key, len);
}

bool Backup_Job_Source_Parser::handle_end_map_i() {
  return close_container(states_.size() == 1 ? key_table_1 : nullptr, REQUIRED_KEYS, LACK_OF_KEY);
}

bool Backup_Job_Source_Parser::handle_end_array_i() {
  if (!close_container()) return false;
  if (!states_.empty() && states_.back().key == KEY_ENTRIES) states_.back().masks |= KEY_ENTRIES;
  return true;
}

}  // namespace oscar
