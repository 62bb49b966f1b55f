#include "oscar/restore_job_options_parser.h"

#include "oscar/restore_job_options.h"

namespace oscar {

namespace {
enum { KEY_VERIFY = 1 };
}

const Key2_Value_T<unsigned int> Restore_Job_Options_Parser::key_table_1[] = {
    {"verify", sizeof("verify") - 1, KEY_VERIFY},
    {nullptr, 0, 0},
};

Restore_Job_Options_Parser::Restore_Job_Options_Parser() = default;

bool Restore_Job_Options_Parser::at_verify() const { return states_.size() == 1 && states_.back().key == KEY_VERIFY; }

bool Restore_Job_Options_Parser::handle_boolean_i(int value) {
  if (states_.empty()) return stop(JSON_ERROR_UNEXPECTED);
  JSON_State& top = states_.back();
  if (at_verify() && doc() != nullptr) doc()->verify(value != 0);
  if (top.obj && top.key != 0) top.masks |= top.key;
  return true;
}

bool Restore_Job_Options_Parser::handle_string_i(const unsigned char*, std::size_t) {
  if (states_.empty() || at_verify()) return stop(JSON_ERROR_UNEXPECTED);
  JSON_State& top = states_.back();
  if (top.obj && top.key != 0) top.masks |= top.key;
  return true;
}

bool Restore_Job_Options_Parser::handle_start_map_i() {
  if (at_verify()) return stop(JSON_ERROR_UNEXPECTED);
  return push_state(true);
}

bool Restore_Job_Options_Parser::handle_start_array_i() {
  // A list is never read as one of its values.
  if (at_verify()) return stop(JSON_ERROR_UNEXPECTED);
  return true;
}

bool Restore_Job_Options_Parser::handle_map_key_i(const unsigned char* key, std::size_t len) {
  return take_key(states_.size() == 1 ? key_table_1 : nullptr, key, len);
}

bool Restore_Job_Options_Parser::handle_end_map_i() { return close_container(); }

}  // namespace oscar
