#include "oscar/backup_job_source_parser.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <new>

#include "oscar/backup_job_source.h"

namespace oscar {

namespace {
enum { KEY_ID = 1, KEY_NAME = 2, KEY_ENTRIES = 4 };
const unsigned int REQUIRED_KEYS[] = {KEY_ID, KEY_ENTRIES};
}  // namespace

const Key2_Value_T<unsigned int> Backup_Job_Source_Parser::key_table_1[] = {
    {"id", sizeof("id") - 1, KEY_ID},
    {"name", sizeof("name") - 1, KEY_NAME},
    {"entries", sizeof("entries") - 1, KEY_ENTRIES},
    {nullptr, 0, 0},
};

Backup_Job_Source_Parser::Backup_Job_Source_Parser() {
  Backup_Job_Source* source = new (std::nothrow) Backup_Job_Source;
  if (source == nullptr) {
    errno = ENOMEM;
    return;
  }
  result_ = result_type(source);
}

Backup_Job_Source_Parser::~Backup_Job_Source_Parser() {}

Backup_Job_Source* Backup_Job_Source_Parser::source() const {
  return static_cast<Backup_Job_Source*>(result_.get());
}

bool Backup_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() == 1) return handle_level_1_string(text, len);
  if (states_.size() == 2) return handle_level_2_string(text, len);
  err_ = JSON_ERROR_UNEXPECTED;
  return false;
}

bool Backup_Job_Source_Parser::handle_level_1_string(const unsigned char* text, std::size_t len) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  const std::string value(reinterpret_cast<const char*>(text), len);
  switch (top.key) {
    case KEY_ID:
      if (source() != nullptr) source()->id(value);
      break;
    case KEY_NAME:
      if (source() != nullptr) source()->name(value);
      break;
    default:
      err_ = JSON_ERROR_UNEXPECTED;
      return false;
  }
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Source_Parser::handle_level_2_string(const unsigned char* text, std::size_t len) {
  const JSON_State& top = states_[1];
  if (!top.obj) {
    if (states_[0].key == KEY_ENTRIES && source() != nullptr) {
      source()->entries().push_back(std::string(reinterpret_cast<const char*>(text), len));
    }
    return true;
  }
  if (top.key != 0) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  return true;
}

bool Backup_Job_Source_Parser::handle_start_map_i() { return push_state(true); }

bool Backup_Job_Source_Parser::handle_start_array_i() { return push_state(false); }

bool Backup_Job_Source_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  if (states_.size() == 1) {
    const Key2_Value_T<unsigned int>* entry =
        get_key_value_entry(key_table_1, reinterpret_cast<const char*>(key), len);
    if (entry->key != nullptr) states_.back().key = entry->value;
  }
  return true;
}

bool Backup_Job_Source_Parser::handle_end_map_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  if (states_.size() == 1) {
    bool missing = false;
    for (unsigned int id : REQUIRED_KEYS) {
      if ((states_[0].masks & id) != 0) continue;
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse job definition source, lack of '%C'.\n"),
                 get_key_value_entry(key_table_1, id)->key));
      missing = true;
    }
    if (missing) {
      err_ = JSON_ERROR_MISSING_KEY;
      return false;
    }
  }
  states_.pop_back();
  return true;
}

bool Backup_Job_Source_Parser::handle_end_array_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  states_.pop_back();
  if (!states_.empty() && states_.back().key == KEY_ENTRIES) states_.back().masks |= KEY_ENTRIES;
  return true;
}

Backup_Job_Source_Parser::result_type Backup_Job_Source_Parser::result() { return result_; }

}  // namespace oscar
