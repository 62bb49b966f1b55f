#include "oscar/restore_job_options_parser.h"

#include "oscar/restore_job_options.h"

namespace oscar {

const Key2_Value_T<unsigned int> Restore_Job_Options_Parser::key_table_1[] = {
    {nullptr, 0, 0},
};

Restore_Job_Options_Parser::Restore_Job_Options_Parser() = default;

bool Restore_Job_Options_Parser::handle_string_i(const unsigned char*, std::size_t) {
  if (states_.empty()) return stop(JSON_ERROR_UNEXPECTED);
  JSON_State& top = states_.back();
  if (top.obj && top.key != 0) top.masks |= top.key;
  return true;
}

bool Restore_Job_Options_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  return take_key(key_table_1, key, len);
}

bool Restore_Job_Options_Parser::handle_end_map_i() { return close_container(); }

}  // namespace oscar
