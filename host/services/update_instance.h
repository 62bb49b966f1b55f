#ifndef HOST_UPDATE_INSTANCE_H
#define HOST_UPDATE_INSTANCE_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "host/services/instance_manager.h"

// Stores attributes that the module found out about a registered instance
// (cluster node ids, the instance name) as options of the host's record of
// it, replacing options of the same name. Texts are stored as they are,
// other JSON values as their JSON text (a node id 2 becomes "2"). When the
// agent has a state directory, the registry is saved there too. Answers 0,
// or -1 (logged) when `instance` is empty or no longer registered, or the
// registry cannot be saved. Safe from any thread.
int update_instance(const Instance_ptr& instance, const std::map<std::string, nlohmann::json>& attrs);

#endif
