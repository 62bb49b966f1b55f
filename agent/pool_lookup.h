#ifndef AGENT_POOL_LOOKUP_H
#define AGENT_POOL_LOOKUP_H

#include <map>
#include <string>

#include "host/storage/pool_info.h"

// Pools of the host's registry (pools.json in the state directory) by the
// name the agent's user gave them. The host looks pools up by uuid only.
// Main thread; the state directory must be open.

// Every registered pool, uuid to name. False with err when the registry
// exists but cannot be read; a missing registry is an empty map.
bool pool_names(std::map<std::string, std::string>& out, std::string& err);

// The uuid of the pool named `name`; false with err when there is none.
bool find_pool_uuid(const std::string& name, std::string& uuid, std::string& err);

// The settings of the pool named `name`; false with err when there is none
// or the registry cannot be read.
bool find_pool(const std::string& name, Pool_Info& out, std::string& err);

#endif
