#include "tollix/account_rule.h"

namespace {

// The character of `c` as a refusal names it.
const char* forbidden(Account_Part part, char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (c == ' ') return "a blank";
  if (c == '"' || c == '\'') return "a quote";
  if (c == '\\') return "a backslash";
  if (u < 0x20 || u == 0x7f) return "a control character";
  if (part == Account_Part::user && c == '=') return "\"=\"";
  if (part == Account_Part::user && c == '/') return "\"/\"";
  return nullptr;
}

}  // namespace

bool check_account_text(Account_Part part, const char* text, std::size_t len, std::string& why) {
  const char* what = part == Account_Part::user ? "the user name" : "the password";
  if (text == nullptr || len == 0) {
    why = std::string(what) + " is empty";
    return false;
  }
  if (text[0] == '-') {
    why = std::string(what) + " starts with \"-\"";
    return false;
  }
  for (std::size_t i = 0; i < len; ++i) {
    if (const char* bad = forbidden(part, text[i])) {
      why = std::string(what) + " holds " + bad;
      return false;
    }
  }
  return true;
}

const char* account_rule_text() {
  return "user names and passwords may hold no blank, quote (' or \"), backslash or control character and may not "
         "start with \"-\"; user names may hold no \"=\" or \"/\" either";
}
