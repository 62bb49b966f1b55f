#include "host/services/update_instance.h"

#include <ace/Log_Msg.h>

#include "host/base/agent_state.h"

int update_instance(const Instance_ptr& instance, const std::map<std::string, nlohmann::json>& attrs) {
  if (!instance) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to update instance: no instance given\n")));
    return -1;
  }
  std::map<std::string, std::string> options;
  for (const auto& kv : attrs)
    options[kv.first] = kv.second.is_string() ? kv.second.get<std::string>() : kv.second.dump();
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager->update_options(instance->type, instance->name, options) != 0) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("%N:%l Failed to update instance %C: it is not registered\n"), instance->name.c_str()));
    return -1;
  }
  if (agent_state_dir().empty()) return 0;
  return manager->save();
}
