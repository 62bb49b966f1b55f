#include "oscar/name_rule.h"

#include <ace/Log_Msg.h>

#include "oscar/name_check.h"

namespace oscar {

namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool check_object_name(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "it is empty";
    return false;
  }
  if (name.size() > MAX_OBJECT_NAME_BYTES) {
    why = "it is longer than " + std::to_string(MAX_OBJECT_NAME_BYTES) + " bytes";
    return false;
  }
  if (is_digit(name[0])) {
    why = "it starts with a digit";
    return false;
  }
  for (char c : name) {
    if (!is_letter(c) && !is_digit(c) && c != '_' && c != '$' && c != '#') {
      why = "only letters, digits, \"_\", \"$\" and \"#\" are allowed";
      return false;
    }
  }
  return true;
}

bool valid_object_name(const char* kind, const std::string& name) {
  std::string why;
  if (check_object_name(name, why)) return true;
  ACE_ERROR(
      (LM_ERROR, ACE_TEXT("%N:%l Invalid %C name \"%C\": %C.\n"), kind, printable_name(name).c_str(), why.c_str()));
  return false;
}

}  // namespace oscar
