#include "oscar/oscar_metadata.h"

#include <ace/Log_Msg.h>

namespace oscar {

bool Oscar_Metadata::is_object(int line) const {
  if (metadata_.is_object()) return true;
  ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in oscar/oscar_metadata:%d, metadata_ is not object!\n"), line));
  return false;
}

bool Oscar_Metadata::get_dbinstance(std::string& out) const {
  if (!is_object(__LINE__)) return false;
  const auto it = metadata_.find("dbinstance");
  if (it == metadata_.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool Oscar_Metadata::set_dbinstance(const std::string& name) {
  if (!is_object(__LINE__)) return false;
  metadata_["dbinstance"] = name;
  return true;
}

bool Oscar_Metadata::get_tablespaces(nlohmann::json& out) const {
  if (!is_object(__LINE__)) return false;
  const auto it = metadata_.find("tablespaces");
  if (it == metadata_.end() || !it->is_array()) return false;
  out = *it;
  return true;
}

bool Oscar_Metadata::set_tablespaces(const nlohmann::json& names) {
  if (!is_object(__LINE__)) return false;
  metadata_["tablespaces"] = names;
  return true;
}

}  // namespace oscar
