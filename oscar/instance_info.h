#ifndef OSCAR_INSTANCE_INFO_H
#define OSCAR_INSTANCE_INFO_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "oscar/oscar_catalog.h"
#include "oscar/oscar_export.h"

// Discovery of the database instances of this machine and of their
// clusters. Texts are NUL-terminated UTF-8. No shared mutable state: any
// thread may call these; they block while isql runs. Every failure is
// logged once where found.

// One discovered instance.
struct Oscar_Instance_Info {
  std::string oscar_home;  // the database home directory
  std::string instance;    // the instance name, upper case
  std::string version;     // the build text isql reports
};

// Instance name to its record, ordered by name.
typedef std::map<std::string, Oscar_Instance_Info> Oscar_Instance_Infos;

// Adds (or replaces) one record per running server process ("oscar ... -d
// NAME") whose home, port and version can be told; a process that cannot be
// described is logged and skipped. The home is the server program's path
// without "bin/oscar", or SZ_OSCAR_HOME of the agent for a program started
// by a relative name. `locale` names the character set of the process
// command lines (may be null). False only when the processes cannot be
// listed.
OSCAR_EXPORT bool get_instance_info(Oscar_Instance_Infos& inst_infos, const char* locale);

// Appends the nodes of the instance's cluster, queried through
// virtual_address when given and answering, else through the virtual
// address of the instance's configuration file (HA_SERVER_IP_ADDRESS).
OSCAR_EXPORT bool get_cluster_nodes(const char* oscar_home, const char* instance, const char* username,
                                    const char* password, const char* virtual_address,
                                    std::vector<Oscar_Node_Info>& nodes);

// Sets "master_id" (the master's node id), "instance" and "node_id" (the
// node that has an address of this machine) in attrs, and once both ids are
// known stores them on the host's record of the instance. Keys the caller
// put in attrs count; values written stay in attrs whatever the answer.
// False when the nodes cannot be listed or no node is this machine.
OSCAR_EXPORT bool get_update_attrs(const char* oscar_home, const char* instance, const char* username,
                                   const char* password, std::map<std::string, nlohmann::json>& attrs);

// The virtual address of HOME/admin/INSTANCE.conf appended to vip (callers
// pass it empty); false when the file is missing or has no such line.
bool get_vip_from_conf(const char* oscar_home, const char* instance, std::string& vip);

#endif
