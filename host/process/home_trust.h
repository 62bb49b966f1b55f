#ifndef HOST_PROCESS_HOME_TRUST_H
#define HOST_PROCESS_HOME_TRUST_H

#include <string>
#include <vector>

// The programs a database home hands the agent: the tools it runs from
// HOME/bin (isql, brcmd, osrexp, osrimp, oscar), the instance's start script
// (/etc/init.d/oscardb_NAMEd under the agent's root, a link into the home)
// and the directories HOME/bin and HOME/lib that the tools load libraries
// from (LD_LIBRARY_PATH points there). They run as the agent's user, so
// each must be changeable only by root and by the home's owner: owned by one
// of them and writable by neither group nor others. Links are followed; a
// path that does not exist is not judged here. Thread-safe.

// Appends one line per untrusted path to `problems` ("PATH is writable by
// others (mode 0757)", "PATH is owned by user 1001, neither root nor the home's owner")
// and answers whether there was none. A home that cannot be read is a
// problem too.
bool check_home_programs(const std::string& home, const std::string& instance, std::vector<std::string>& problems);

#endif
