#include "oscar/name_check.h"

#include <ace/Log_Msg.h>

namespace oscar {

bool check_name(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "it is empty";
  } else if (name.size() > MAX_NAME_BYTES) {
    why = "it is longer than " + std::to_string(MAX_NAME_BYTES) + " bytes";
  } else if (name.find('\0') != std::string::npos) {
    why = "it holds a NUL character";
  } else if (name.find('/') != std::string::npos) {
    why = "it holds \"/\"";
  } else if (name.find("..") != std::string::npos) {
    why = "it holds \"..\"";
  } else if (name[0] == '.') {
    why = "it starts with \".\"";
  } else if (name[0] == '-') {
    why = "it starts with \"-\"";
  } else {
    return true;
  }
  return false;
}

std::string printable_name(const std::string& name) {
  std::string out = name.substr(0, MAX_NAME_BYTES);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  if (name.size() > MAX_NAME_BYTES) out += "...";
  return out;
}

bool check_id(const char* what, const std::string& id) {
  std::string why;
  if (check_name(id, why)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Invalid %C \"%C\": %C; the job is refused\n"), what, printable_name(id).c_str(),
             why.c_str()));
  return false;
}

bool check_job_ids(const std::string& definition_id, const std::string& source_id) {
  return check_id("job definition id", definition_id) && check_id("job source id", source_id);
}

}  // namespace oscar
