#include "oscar/restore_job_options_parser.h"

#include <cerrno>
#include <new>

#include "oscar/restore_job_options.h"

namespace oscar {

const Key2_Value_T<unsigned int> Restore_Job_Options_Parser::key_table_1[] = {
    {nullptr, 0, 0},
};

Restore_Job_Options_Parser::Restore_Job_Options_Parser() {
  Restore_Job_Options* options = new (std::nothrow) Restore_Job_Options;
  if (options == nullptr) {
    errno = ENOMEM;
    return;
  }
  result_ = result_type(options);
}

Restore_Job_Options_Parser::~Restore_Job_Options_Parser() {}

bool Restore_Job_Options_Parser::handle_string_i(const unsigned char*, std::size_t) {
  if (states_.empty()) {
    err_ = JSON_ERROR_UNEXPECTED;
    return false;
  }
  JSON_State& top = states_.back();
  if (top.obj && top.key != 0) top.masks |= top.key;
  return true;
}

bool Restore_Job_Options_Parser::handle_start_map_i() { return push_state(true); }

bool Restore_Job_Options_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  const Key2_Value_T<unsigned int>* entry =
      get_key_value_entry(key_table_1, reinterpret_cast<const char*>(key), len);
  if (entry->key != nullptr) states_.back().key = entry->value;
  return true;
}

bool Restore_Job_Options_Parser::handle_end_map_i() {
  if (states_.empty()) {
    err_ = JSON_ERROR_NO_CONTAINER;
    return false;
  }
  states_.pop_back();
  return true;
}

Restore_Job_Options_Parser::result_type Restore_Job_Options_Parser::result() { return result_; }

}  // namespace oscar
