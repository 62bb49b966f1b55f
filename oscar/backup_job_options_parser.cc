#include "oscar/backup_job_options_parser.h"

#include <cerrno>
#include <new>

#include "oscar/backup_job_options.h"
#include "tollix/natoi.h"

namespace oscar {

namespace {
enum { KEY_COMPRESSION = 1, KEY_COMPRESSION_LEVEL = 2 };
}

const Key2_Value_T<unsigned int> Backup_Job_Options_Parser::key_table_1[] = {
    {"compression", sizeof("compression") - 1, KEY_COMPRESSION},
    {"compression_level", sizeof("compression_level") - 1, KEY_COMPRESSION_LEVEL},
    {nullptr, 0, 0},
};

Backup_Job_Options_Parser::Backup_Job_Options_Parser() {
  Backup_Job_Options* options = new (std::nothrow) Backup_Job_Options;
  if (options == nullptr) {
    errno = ENOMEM;
    return;
  }
  result_ = result_type(options);
}

Backup_Job_Options_Parser::~Backup_Job_Options_Parser() {}

Backup_Job_Options* Backup_Job_Options_Parser::options() const {
  return static_cast<Backup_Job_Options*>(result_.get());
}

bool Backup_Job_Options_Parser::handle_number_i(const char* text, std::size_t len) {
  if (states_.size() != 1) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  if (top.key == KEY_COMPRESSION_LEVEL && options() != nullptr) {
    options()->compression_level(natoi<int>(text, len));
  }
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Options_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() != 1) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  if (top.key == KEY_COMPRESSION && options() != nullptr) {
    options()->compression(compression_name_to_value(reinterpret_cast<const char*>(text), len));
  }
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Options_Parser::handle_start_map_i() { return push_state(true); }

bool Backup_Job_Options_Parser::handle_start_array_i() { return push_state(false); }

bool Backup_Job_Options_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
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

bool Backup_Job_Options_Parser::handle_end_map_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  states_.pop_back();
  return true;
}

bool Backup_Job_Options_Parser::handle_end_array_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  states_.pop_back();
  return true;
}

Backup_Job_Options_Parser::result_type Backup_Job_Options_Parser::result() { return result_; }

}  // namespace oscar
