#ifndef OSCAR_TOOL_GUARD_H
#define OSCAR_TOOL_GUARD_H

#include <string>

class Job;

namespace oscar {

// The checks before the module puts an account on a tool's command line or
// runs a program of a database home. The registry is not trusted: an account
// or a home registered before these rules existed is checked here all the
// same. Each refusal is logged once at LM_ERROR; a password is never shown.
// Thread-safe.

// Whether user and password (may be null) pass the account rule
// (tollix/account_rule.h). On refusal `why` (may be null) receives the
// reason, as logged.
bool valid_account(const std::string& user, const char* password, std::string* why = nullptr);

// Whether the programs of `oscar_home` that runs for `instance` would
// execute can be changed only by root and the home's owner
// (check_home_programs); every untrusted path is logged.
bool trusted_home(const std::string& oscar_home, const std::string& instance);

// Both, for a job about to run tools: false with ALERT_UNUSABLE_ACCOUNT or
// ALERT_UNTRUSTED_HOME raised on `job`.
bool check_tool_run(Job& job, const std::string& user, const char* password, const std::string& oscar_home,
                    const std::string& instance);

}  // namespace oscar

#endif
