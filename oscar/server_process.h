#ifndef OSCAR_SERVER_PROCESS_H
#define OSCAR_SERVER_PROCESS_H

#include <string>

namespace oscar {

// Whether process pid runs the database server of `instance` from
// `oscar_home`: its program is named "oscar" (when started by an absolute
// path, HOME/bin/oscar) and its arguments hold "-d" followed by the
// instance name (quotes removed; compared without regard to case). False
// when the process does not exist or its command line cannot be read, so a
// stale process-id file never leads to signalling an unrelated process.
// Thread-safe.
bool is_instance_server(int pid, const std::string& oscar_home, const std::string& instance);

}  // namespace oscar

#endif
