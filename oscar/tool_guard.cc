#include "oscar/tool_guard.h"

#include <ace/Log_Msg.h>

#include <cstring>
#include <vector>

#include "host/process/home_trust.h"
#include "oscar/job_alerts.h"
#include "oscar/name_check.h"
#include "tollix/account_rule.h"

namespace oscar {

bool valid_account(const std::string& user, const char* password, std::string* why) {
  std::string reason;
  if (check_account_text(Account_Part::user, user.data(), user.size(), reason) &&
      check_account_text(Account_Part::password, password, password == nullptr ? 0 : std::strlen(password), reason)) {
    return true;
  }
  reason = "the database account of user \"" + printable_name(user) + "\" is refused: " + reason + " (" +
           account_rule_text() + ")";
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l %C.\n"), reason.c_str()));
  if (why != nullptr) *why = reason;
  return false;
}

bool trusted_home(const std::string& oscar_home, const std::string& instance) {
  std::vector<std::string> problems;
  if (check_home_programs(oscar_home, instance, problems)) return true;
  for (const std::string& p : problems) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refusing to run the programs of %C: %C.\n"), oscar_home.c_str(), p.c_str()));
  }
  return false;
}

bool check_tool_run(Job& job, const std::string& user, const char* password, const std::string& oscar_home,
                    const std::string& instance) {
  if (!valid_account(user, password)) return fail_with_alert(job, ALERT_UNUSABLE_ACCOUNT);
  if (!trusted_home(oscar_home, instance)) return fail_with_alert(job, ALERT_UNTRUSTED_HOME);
  return true;
}

}  // namespace oscar
