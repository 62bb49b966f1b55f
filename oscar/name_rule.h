#ifndef OSCAR_NAME_RULE_H
#define OSCAR_NAME_RULE_H

#include <cstddef>
#include <string>

namespace oscar {

// The longest database object name accepted, in bytes.
const std::size_t MAX_OBJECT_NAME_BYTES = 128;

// The rule for database, schema, table and tablespace names, which the
// export and import place unquoted into tool command lines and SQL: 1 to
// MAX_OBJECT_NAME_BYTES bytes of ASCII letters, digits, "_", "$" and "#",
// not starting with a digit. Nothing that a command line splits at, a shell
// or SQL interprets, or a path climbs with can pass. On refusal `why` says
// which part of the rule the name broke; it is untouched otherwise.
// Thread-safe.
bool check_object_name(const std::string& name, std::string& why);

// check_object_name, logging a refusal once at LM_ERROR as
// "Invalid KIND name "NAME": WHY." (kind such as "schema"; the name shown
// printable, see printable_name). Thread-safe.
bool valid_object_name(const char* kind, const std::string& name);

}  // namespace oscar

#endif
