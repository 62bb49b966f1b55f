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

// Whether process pid has ended: it no longer exists, or it is a zombie
// that its parent has not reaped yet (ACE::process_active counts those as
// alive, and a daemon's adoptive parent may never reap it). Thread-safe.
bool process_gone(int pid);

}  // namespace oscar

#endif
