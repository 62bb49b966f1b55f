#include "oscar/backup_job_options_parser.h"

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

Backup_Job_Options_Parser::Backup_Job_Options_Parser() = default;

bool Backup_Job_Options_Parser::handle_number_i(const char* text, std::size_t len) {
  if (states_.size() != 1) return stop(JSON_ERROR_UNEXPECTED);
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  if (top.key == KEY_COMPRESSION_LEVEL && doc() != nullptr) doc()->compression_level(natoi<int>(text, len));
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Options_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (states_.size() != 1) return stop(JSON_ERROR_UNEXPECTED);
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return true;
  if (top.key == KEY_COMPRESSION && doc() != nullptr) {
    doc()->compression(compression_name_to_value(reinterpret_cast<const char*>(text), len));
  }
  top.masks |= top.key;
  return true;
}

bool Backup_Job_Options_Parser::handle_start_array_i() { return push_state(false); }

bool Backup_Job_Options_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  return take_key(states_.size() == 1 ? key_table_1 : nullptr, key, len);
}

bool Backup_Job_Options_Parser::handle_end_map_i() { return close_container(); }

bool Backup_Job_Options_Parser::handle_end_array_i() { return close_container(); }

}  // namespace oscar
