#ifndef TOLLIX_ACCOUNT_RULE_H
#define TOLLIX_ACCOUNT_RULE_H

#include <cstddef>
#include <string>

// The rule for the user name and password of a database account, which the
// tools receive as part of one command-line word ("-UUSER/PASSWORD",
// "-u USER -p PASSWORD"). The process library splits a command line at
// blanks and strips quotes, so a blank, a quote, a backslash or a control
// character would cut the word or add another one, and a leading "-" would
// be read as an option. A user name may also not hold "=" (osrexp and osrimp
// read KEY=VALUE words as options) nor "/" (which ends the user name inside
// "-UUSER/PASSWORD"). Registering an account and running a job apply the
// same rule. Thread-safe.

enum class Account_Part { user, password };

// Whether text[0, len) may stand as the `part` of an account (a range, so
// that a password is read where it lies, in secure memory). On refusal
// `why` says which character broke the rule, never quoting the text;
// untouched otherwise.
bool check_account_text(Account_Part part, const char* text, std::size_t len, std::string& why);

// The characters the rule refuses, as one clause for a refusal line, e.g.
// "user names and passwords may hold no blank, ...".
const char* account_rule_text();

#endif
