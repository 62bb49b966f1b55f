#ifndef OSCAR_OSCAR_REGEX_H
#define OSCAR_OSCAR_REGEX_H

#include <boost/regex.hpp>

// The expressions shared by the command layer, compiled once when the module
// is loaded (static initialisation of the module image) and read-only
// afterwards, so any thread may use them without a lock.

// An isql error line on standard error; group 1 is the database's message.
extern const boost::regex RE_LOGIN_LINE;
// The row-count line that closes an isql result, such as "(3 rows)".
extern const boost::regex RE_END_LINE;
// A version line of isql; group 1 is the build text.
extern const boost::regex RE_VERSION_LINE;

#endif
