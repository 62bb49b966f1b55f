#include "oscar/oscar_regex.h"

const boost::regex RE_LOGIN_LINE(".*isql: ERROR, (.*)", boost::regex::perl);
const boost::regex RE_END_LINE("\\(\\d+ row[s]?\\)", boost::regex::perl);
const boost::regex RE_VERSION_LINE(".*\\(build\\s+(.*)\\) for.*", boost::regex::perl);
